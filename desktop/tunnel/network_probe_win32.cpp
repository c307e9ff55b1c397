#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include "common/win32/unique_socket.h"
#include "desktop/tunnel/network_probe.h"

// Missing from mingw-w64's icmpapi.h; the import is in libiphlpapi.a.
extern "C" DWORD WINAPI IcmpSendEcho2Ex(HANDLE IcmpHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                                         IPAddr SourceAddress, IPAddr DestinationAddress, LPVOID RequestData,
                                         WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions, LPVOID ReplyBuffer,
                                         DWORD ReplySize, DWORD Timeout);

namespace vlvpn::tunnel {
namespace {

using Clock = std::chrono::steady_clock;

class IcmpHandle {
 public:
  IcmpHandle() : handle_(IcmpCreateFile()) {}
  ~IcmpHandle() {
    if (valid()) IcmpCloseHandle(handle_);
  }
  IcmpHandle(const IcmpHandle&) = delete;
  IcmpHandle& operator=(const IcmpHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class WindowsNetworkProbe final : public NetworkProbe {
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
    IcmpHandle icmp;
    if (!icmp.valid()) return {IcmpOutcome::Kind::Unavailable};
    char data[32] = {};
    unsigned char reply[sizeof(ICMP_ECHO_REPLY) + sizeof data + 8];
    const DWORD replies =
        source ? IcmpSendEcho2Ex(icmp.get(), nullptr, nullptr, nullptr, htonl(*source), htonl(destination), data,
                                 sizeof data, nullptr, reply, sizeof reply, static_cast<DWORD>(timeout.count()))
               : IcmpSendEcho(icmp.get(), htonl(destination), data, sizeof data, nullptr, reply, sizeof reply,
                              static_cast<DWORD>(timeout.count()));
    if (replies == 0) return {IcmpOutcome::Kind::NoReply};
    const auto* first = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply);
    return {IcmpOutcome::Kind::Reply, first->Status, first->RoundTripTime};
  }

  std::optional<std::chrono::milliseconds> tcpAnswerTime(uint32_t address, uint16_t port,
                                                         std::chrono::milliseconds timeout) override {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() == INVALID_SOCKET) return std::nullopt;
    u_long nonBlocking = 1;
    ioctlsocket(s.get(), FIONBIO, &nonBlocking);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(address);
    const auto start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start); };
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return elapsed();
    const int error = WSAGetLastError();
    if (error == WSAECONNREFUSED) return elapsed();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return std::nullopt;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s.get(), &writable);
    fd_set failed = writable;  // Windows reports a refused connect as an exception
    timeval wait{static_cast<long>(timeout.count() / 1000), static_cast<long>((timeout.count() % 1000) * 1000)};
    if (select(0, nullptr, &writable, &failed, &wait) <= 0) return std::nullopt;
    int soError = 0;
    int length = sizeof soError;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0) return std::nullopt;
    if (soError == 0 || soError == WSAECONNREFUSED) return elapsed();
    return std::nullopt;
  }
};

}  // namespace

std::unique_ptr<NetworkProbe> NetworkProbe::create() { return std::make_unique<WindowsNetworkProbe>(); }

}  // namespace vlvpn::tunnel
