#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/posix/unique_fd.h"
#include "desktop/tunnel/network_probe.h"

namespace vlvpn::tunnel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kEchoDataBytes = 32;

uint16_t checksum(const unsigned char* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The IP_STATUS value Windows reports for an ICMP error, so both builds give
// the interface the same reasons.
uint32_t ipStatusOf(uint8_t type, uint8_t code) {
  if (type == ICMP_DEST_UNREACH) {
    switch (code) {
      case ICMP_NET_UNREACH:
        return 11002;
      case ICMP_HOST_UNREACH:
        return 11003;
      case ICMP_PROT_UNREACH:
        return 11004;
      case ICMP_PORT_UNREACH:
        return 11005;
      default:
        return 11003;
    }
  }
  if (type == ICMP_TIME_EXCEEDED) return 11013;
  return 11050;
}

sockaddr_in ipv4Address(uint32_t address, uint16_t port = 0) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  socketAddress.sin_addr.s_addr = htonl(address);
  return socketAddress;
}

class PosixNetworkProbe final : public NetworkProbe {
 public:
  std::vector<uint32_t> resolveIpv4(const std::string& host) override {
    std::vector<uint32_t> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return addresses;
    for (const addrinfo* result = results; result; result = result->ai_next) {
      addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr));
    }
    freeaddrinfo(results);
    return addresses;
  }

  IcmpOutcome echo(std::optional<uint32_t> source, uint32_t destination, std::chrono::milliseconds timeout) override {
    // Raw sockets need root; an ICMP datagram socket needs the user's group in
    // net.ipv4.ping_group_range.
    bool raw = true;
    UniqueFd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!fd) {
      raw = false;
      fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    }
    if (!fd) return {IcmpOutcome::Kind::Unavailable};
    if (source) {
      const sockaddr_in from = ipv4Address(*source);
      if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) return {IcmpOutcome::Kind::NoReply};
    }

    static std::atomic<uint16_t> sequence{1};
    const uint16_t id = static_cast<uint16_t>(getpid());
    const uint16_t seq = sequence++;
    unsigned char request[8 + kEchoDataBytes] = {};
    request[0] = ICMP_ECHO;
    request[4] = static_cast<unsigned char>(id >> 8), request[5] = static_cast<unsigned char>(id);
    request[6] = static_cast<unsigned char>(seq >> 8), request[7] = static_cast<unsigned char>(seq);
    const uint16_t sum = checksum(request, sizeof request);
    request[2] = static_cast<unsigned char>(sum >> 8), request[3] = static_cast<unsigned char>(sum);

    const sockaddr_in to = ipv4Address(destination);
    const auto start = Clock::now();
    if (::sendto(fd.get(), request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
      return {IcmpOutcome::Kind::NoReply};
    }
    const auto deadline = start + timeout;
    unsigned char reply[512];
    while (Clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd entry{fd.get(), POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0) break;
      const ssize_t n = ::recv(fd.get(), reply, sizeof reply, 0);
      if (n <= 0) continue;
      // A raw socket delivers the IP header first; a datagram socket does not.
      size_t offset = raw ? static_cast<size_t>((reply[0] & 0x0F) * 4) : 0;
      if (static_cast<size_t>(n) < offset + 8) continue;
      const unsigned char* icmp = reply + offset;
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      if (icmp[0] == ICMP_ECHOREPLY) {
        if (raw && ((icmp[4] << 8 | icmp[5]) != id || (icmp[6] << 8 | icmp[7]) != seq)) continue;
        if (raw && reinterpret_cast<const iphdr*>(reply)->saddr != to.sin_addr.s_addr) continue;
        return {IcmpOutcome::Kind::Reply, 0, static_cast<uint32_t>(elapsed.count())};
      }
      if (raw && (icmp[0] == ICMP_DEST_UNREACH || icmp[0] == ICMP_TIME_EXCEEDED) &&
          static_cast<size_t>(n) >= offset + 8 + 20 + 8) {
        // The error quotes our request: its IP header, then the echo's first 8 bytes.
        const unsigned char* quoted = icmp + 8 + (icmp[8] & 0x0F) * 4;
        if (quoted + 8 <= reply + n && (quoted[4] << 8 | quoted[5]) == id && (quoted[6] << 8 | quoted[7]) == seq) {
          return {IcmpOutcome::Kind::Reply, ipStatusOf(icmp[0], icmp[1]), static_cast<uint32_t>(elapsed.count())};
        }
      }
    }
    return {IcmpOutcome::Kind::NoReply};
  }

  std::optional<std::chrono::milliseconds> tcpAnswerTime(uint32_t address, uint16_t port,
                                                         std::chrono::milliseconds timeout) override {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return std::nullopt;
    const sockaddr_in target = ipv4Address(address, port);
    const auto start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start); };
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 || errno == ECONNREFUSED) {
      return elapsed();
    }
    if (errno != EINPROGRESS) return std::nullopt;
    pollfd entry{fd.get(), POLLOUT, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return std::nullopt;
    if (error == 0 || error == ECONNREFUSED) return elapsed();  // a refusal is an answer too
    return std::nullopt;
  }
};

}  // namespace

std::unique_ptr<NetworkProbe> NetworkProbe::create() { return std::make_unique<PosixNetworkProbe>(); }

}  // namespace vlvpn::tunnel
