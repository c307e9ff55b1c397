// What the kill switch lets out, counted where it would arrive. The desktop
// program and the service run in the client namespace with a real OpenVPN
// server in another; a third namespace, a bystander on the client's other
// link, listens and captures every packet the client sends it. In each
// state of a tunnel the client probes the bystander with TCP, UDP and ICMP
// over IPv4 and IPv6, with the IPv6 block on and off; what arrives must be
// nothing, ICMPv6 echo included (the kill switch lets only neighbour
// discovery through). DNS (allowed to any address while connecting and
// connected) is the opening the kill switch has on purpose: counted and
// reported apart, and never a way in.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kClient4 = "198.18.5.1";
constexpr const char* kBystander4 = "198.18.5.2";
constexpr const char* kClient6 = "fd00:5::1";
constexpr const char* kBystander6 = "fd00:5::2";
constexpr uint16_t kProbePort = 8443;
constexpr uint16_t kDnsPort = 53;
constexpr uint16_t kLabServerPort = 1194;

// What reached the bystander from the client, by kind.
struct Arrivals {
  int tcp4 = 0, udp4 = 0, icmp4 = 0;
  int tcp6 = 0, udp6 = 0, icmp6Echo = 0;
  int dns = 0;  // either family, either transport
  int leaks() const { return tcp4 + udp4 + icmp4 + tcp6 + udp6; }
  std::string describe() const {
    char text[200];
    std::snprintf(text, sizeof text, "TCP4 %d, UDP4 %d, ICMP4 %d, TCP6 %d, UDP6 %d | ICMPv6 echo %d, DNS %d", tcp4, udp4,
                  icmp4, tcp6, udp6, icmp6Echo, dns);
    return text;
  }
};

uint16_t portAt(const uint8_t* transport) { return static_cast<uint16_t>(transport[2] << 8 | transport[3]); }

// Every packet arriving on the bystander's link, read from a packet socket.
class Capture {
 public:
  explicit Capture(const NetworkNamespace& space) : fd_(space.socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL))) {
    inet_pton(AF_INET, kClient4, &client4_);
    inet_pton(AF_INET6, kClient6, &client6_);
  }
  bool ready() const { return static_cast<bool>(fd_); }

  // Counts what came since the last call, waiting `settle` for stragglers.
  Arrivals take(std::chrono::milliseconds settle) {
    Arrivals arrivals;
    uint8_t packet[2048];
    pollfd entry{fd_.get(), POLLIN, 0};
    while (::poll(&entry, 1, static_cast<int>(settle.count())) > 0) {
      sockaddr_ll from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(fd_.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) break;
      if (from.sll_pkttype == PACKET_OUTGOING) continue;
      if (ntohs(from.sll_protocol) == ETH_P_IP) countIpv4(packet, static_cast<size_t>(n), arrivals);
      if (ntohs(from.sll_protocol) == ETH_P_IPV6) countIpv6(packet, static_cast<size_t>(n), arrivals);
    }
    return arrivals;
  }

 private:
  void countIpv4(const uint8_t* ip, size_t size, Arrivals& arrivals) const {
    if (size < 20 || std::memcmp(ip + 12, &client4_, 4) != 0) return;
    const size_t header = (ip[0] & 0x0f) * 4u;
    if (size < header + 4) return;
    if (ip[9] == IPPROTO_ICMP) ++arrivals.icmp4;
    countTransport(ip[9], ip + header, arrivals.tcp4, arrivals.udp4, arrivals);
  }
  void countIpv6(const uint8_t* ip, size_t size, Arrivals& arrivals) const {
    if (size < 44 || std::memcmp(ip + 8, &client6_, 16) != 0) return;
    const uint8_t* transport = ip + 40;
    if (ip[6] == IPPROTO_ICMPV6 && transport[0] == 128) ++arrivals.icmp6Echo;  // neighbour discovery is not counted
    countTransport(ip[6], transport, arrivals.tcp6, arrivals.udp6, arrivals);
  }
  // A TCP segment or UDP datagram: DNS apart, the rest to its family's count.
  static void countTransport(uint8_t protocol, const uint8_t* transport, int& tcp, int& udp, Arrivals& arrivals) {
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;
    if (portAt(transport) == kDnsPort) {
      ++arrivals.dns;
    } else {
      ++(protocol == IPPROTO_TCP ? tcp : udp);
    }
  }

  UniqueFd fd_;
  in_addr client4_{};
  in6_addr client6_{};
};

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress socketAddress(int family, const char* address, uint16_t port) {
  SocketAddress result;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&result.storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    inet_pton(AF_INET, address, &in->sin_addr);
    result.length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    result.length = sizeof *in6;
  }
  return result;
}

UniqueFd boundSocket(const NetworkNamespace& space, int family, int type, const char* address, uint16_t port) {
  UniqueFd fd = space.socket(family, type | SOCK_NONBLOCK);
  const SocketAddress local = socketAddress(family, address, port);
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd.get(), local.get(), local.length) != 0) return {};
  if (type == SOCK_STREAM && ::listen(fd.get(), 64) != 0) return {};
  return fd;
}

// One TCP attempt and three UDP datagrams to address:port, from `space`.
void sendTcpAndUdp(const NetworkNamespace& space, int family, const char* address, uint16_t port) {
  const SocketAddress remote = socketAddress(family, address, port);
  UniqueFd tcp = space.socket(family, SOCK_STREAM | SOCK_NONBLOCK);
  if (::connect(tcp.get(), remote.get(), remote.length) != 0 && errno == EINPROGRESS) {
    pollfd entry{tcp.get(), POLLOUT, 0};
    ::poll(&entry, 1, 300);
  }
  UniqueFd udp = space.socket(family, SOCK_DGRAM);
  for (int i = 0; i < 3; ++i) ::sendto(udp.get(), "probe", 5, 0, remote.get(), remote.length);
}

// The whole lab: the VPN, the service, the desktop program, the bystander.
class LeakLab {
 public:
  // Over TCP, so a killed server drops the tunnel at once rather than at
  // OpenVPN's next ping restart.
  explicit LeakLab(LabServerOptions server = {}) : vpn_(scratch_.path(), "tcp", std::move(server)) {
    if (!vpn_.ready()) return;
    if (!connectNamespaces(vpn_.client, {std::string(kClient4) + "/24", std::string(kClient6) + "/64"}, bystander,
                           {std::string(kBystander4) + "/24", std::string(kBystander6) + "/64"})) {
      return;
    }
    service_ = std::make_unique<KillSwitchService>(scratch_.path(), vpn_.client.wrapper());
    if (!service_->waitUntilAnswering()) return;
    bridge_ = std::make_unique<BridgeClient>(
        EnvironmentOverrides{{"XDG_DATA_HOME", (scratch_.path() / "home").string()},
                             {"VLVPN_KILLSWITCH_SOCKET", service_->endpoint}},
        vpn_.client.wrapper());
    capture_ = std::make_unique<Capture>(bystander);
    listeners_.push_back(boundSocket(bystander, AF_INET, SOCK_STREAM, kBystander4, kProbePort));
    listeners_.push_back(boundSocket(bystander, AF_INET, SOCK_DGRAM, kBystander4, kProbePort));
    listeners_.push_back(boundSocket(bystander, AF_INET6, SOCK_STREAM, kBystander6, kProbePort));
    listeners_.push_back(boundSocket(bystander, AF_INET6, SOCK_DGRAM, kBystander6, kProbePort));
    listeners_.push_back(boundSocket(bystander, AF_INET, SOCK_DGRAM, kBystander4, kDnsPort));
    const bool listening = std::all_of(listeners_.begin(), listeners_.end(), [](const UniqueFd& fd) { return bool(fd); });
    ready_ = listening && capture_->ready() && bridge_->started() &&
             bridge_->call("saveOvpnProfile", {"home", vpn_.profile(), "home.ovpn", ""}).contains("result") &&
             bridge_->call("saveOvpnAuth", {"home", kLabUser, kLabPassword}).contains("result");
  }

  bool ready() const { return ready_; }
  BridgeClient& bridge() { return *bridge_; }
  VpnLab& vpn() { return vpn_; }
  // The bystander's UDP listener on port 53: the local network's resolver.
  int bystanderResolver() const { return listeners_[4].get(); }
  std::string serviceLog() const { return service_->logText(); }

  // Every probe once, then what the bystander saw of them.
  Arrivals probe() {
    capture_->take(0ms);  // what came before does not count
    const NetworkNamespace& client = vpn_.client;
    sendTcpAndUdp(client, AF_INET, kBystander4, kProbePort);
    sendTcpAndUdp(client, AF_INET6, kBystander6, kProbePort);
    sendTcpAndUdp(client, AF_INET, kBystander4, kDnsPort);
    client.run({"ping", "-c", "2", "-i", "0.2", "-W", "1", kBystander4});
    client.run({"ping", "-6", "-c", "2", "-i", "0.2", "-W", "1", kBystander6});
    return capture_->take(300ms);
  }

  NetworkNamespace bystander{"bys"};

 private:
  TempDir scratch_;
  VpnLab vpn_;
  std::unique_ptr<KillSwitchService> service_;
  std::unique_ptr<BridgeClient> bridge_;
  std::unique_ptr<Capture> capture_;
  std::vector<UniqueFd> listeners_;
  bool ready_ = false;
};

void report(const std::string& state, const Arrivals& arrivals) {
  std::printf("leak probe, %-52s %s\n", state.c_str(), arrivals.describe().c_str());
  testing::Test::RecordProperty(state, arrivals.describe());
}

// Probes with the IPv6 block on, then off: the kill switch alone holds IPv6
// as well, echo included. The block is on again afterwards.
Arrivals expectNothingLeaks(LeakLab& lab, const std::string& state) {
  Arrivals withBlock;
  for (bool block : {true, false}) {
    EXPECT_EQ(lab.bridge().call("setBlockIpv6Enabled", {block})["result"], json({{"enabled", block}}));
    const Arrivals arrivals = lab.probe();
    const std::string name = state + (block ? ", IPv6 block on:" : ", IPv6 block off:");
    report(name, arrivals);
    EXPECT_EQ(arrivals.leaks(), 0) << name << " " << arrivals.describe();
    EXPECT_EQ(arrivals.icmp6Echo, 0) << name << " " << arrivals.describe();
    if (block) withBlock = arrivals;
  }
  lab.bridge().call("setBlockIpv6Enabled", {true});
  return withBlock;
}

// Connections OpenVPN made to where the server would be, on a listener that
// stands in for a server that never answers.
int connectionsAt(const UniqueFd& listener, std::vector<UniqueFd>& accepted) {
  for (int waits = 0; waits < 50 && accepted.empty(); ++waits) {
    for (UniqueFd fd; (fd = UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)));) {
      accepted.push_back(std::move(fd));
    }
    if (accepted.empty()) std::this_thread::sleep_for(100ms);
  }
  return static_cast<int>(accepted.size());
}

#define VLVPN_REQUIRE_LAB() VLVPN_REQUIRE_ENVIRONMENT(canRunVpnLab(), "needs root, network namespaces, /dev/net/tun and openvpn")

TEST(KillSwitchLeaks, NothingReachesABystanderInAnyStateOfATunnel) {
  VLVPN_REQUIRE_LAB();
  LeakLab lab;
  ASSERT_TRUE(lab.ready());
  auto& bridge = lab.bridge();

  // The probes see what they should: without the kill switch everything arrives.
  const Arrivals open = lab.probe();
  report("without the kill switch:", open);
  ASSERT_GT(open.tcp4, 0);
  ASSERT_GT(open.udp4, 0);
  ASSERT_GT(open.icmp4, 0);
  ASSERT_GT(open.tcp6, 0);
  ASSERT_GT(open.udp6, 0);
  ASSERT_GT(open.icmp6Echo, 0);
  ASSERT_GT(open.dns, 0);

  ASSERT_EQ(bridge.call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
  ASSERT_EQ(bridge.call("setBlockIpv6Enabled", {true})["result"], json({{"enabled", true}}));

  // Connecting, to a server that never answers: OpenVPN reaches it.
  {
    UniqueFd standIn = boundSocket(lab.vpn().server, AF_INET, SOCK_STREAM, kLabServerAddress, kLabServerPort);
    ASSERT_TRUE(standIn);
    std::vector<UniqueFd> accepted;
    EXPECT_EQ(bridge.call("connectOvpn", {"home", "home.ovpn", "", ""})["result"]["state"], "connecting");
    EXPECT_GT(connectionsAt(standIn, accepted), 0) << "the server stays reachable while connecting";
    EXPECT_EQ(bridge.call("getStatus")["result"]["state"], "connecting");
    expectNothingLeaks(lab, "connecting");
    bridge.call("disconnect");
  }

  ASSERT_TRUE(lab.vpn().startServer());
  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  ASSERT_EQ(bridge.waitForState("connected", 20s)["state"], "connected");
  EXPECT_TRUE(lab.vpn().client.run({"ping", "-c", "1", "-W", "2", kLabServerTunnelAddress})) << "the tunnel carries traffic";
  expectNothingLeaks(lab, "connected");

  lab.vpn().killServer();
  json status;
  for (int attempt = 0; attempt < 300; ++attempt) {
    status = bridge.call("getStatus")["result"];
    if (status["state"] != "connected") break;
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_NE(status["state"], "connected") << status;
  expectNothingLeaks(lab, "tunnel dropped (server killed)");

  bridge.call("disconnect");
  const Arrivals disconnected = expectNothingLeaks(lab, "disconnected, kill switch on");
  EXPECT_EQ(disconnected.dns, 0) << "DNS is open only while a tunnel is wanted";
}

// A TCP connection attempt from a given source port; true when it connected.
bool connectsFromPort(const NetworkNamespace& space, const char* from, uint16_t sourcePort, const char* to,
                      uint16_t port, int timeoutMs) {
  UniqueFd fd = space.socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const SocketAddress local = socketAddress(AF_INET, from, sourcePort);
  if (::bind(fd.get(), local.get(), local.length) != 0) return false;
  const SocketAddress remote = socketAddress(AF_INET, to, port);
  if (::connect(fd.get(), remote.get(), remote.length) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd entry{fd.get(), POLLOUT, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
  return error == 0;
}

bool readable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

TEST(KillSwitchLeaks, DnsIsAWayOutNeverAWayIn) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("cli"), bystander("bys");
  ASSERT_TRUE(connectNamespaces(client, {std::string(kClient4) + "/24"}, bystander, {std::string(kBystander4) + "/24"}));
  constexpr uint16_t kShare = 445;  // a service listening on the client
  UniqueFd share = boundSocket(client, AF_INET, SOCK_STREAM, kClient4, kShare);
  ASSERT_TRUE(share);
  ASSERT_TRUE(connectsFromPort(bystander, kBystander4, kDnsPort, kClient4, kShare, 2000))
      << "without the kill switch the door is open, so a refusal below means something";

  TempDir scratch;
  KillSwitchService service(scratch.path(), client.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());
  ASSERT_EQ(service.request("ENABLE udp 1194 1 198.18.5.9"), "OK") << "DNS allowed";
  EXPECT_FALSE(connectsFromPort(bystander, kBystander4, kDnsPort, kClient4, kShare, 500))
      << "a neighbour sending from port 53 reaches no service";

  // The client's own queries to a resolver on the bystander are answered.
  UniqueFd resolverUdp = boundSocket(bystander, AF_INET, SOCK_DGRAM, kBystander4, kDnsPort);
  UniqueFd resolverTcp = boundSocket(bystander, AF_INET, SOCK_STREAM, kBystander4, kDnsPort);
  ASSERT_TRUE(resolverUdp && resolverTcp);

  UniqueFd query = client.socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
  const SocketAddress resolver = socketAddress(AF_INET, kBystander4, kDnsPort);
  ASSERT_EQ(::sendto(query.get(), "query", 5, 0, resolver.get(), resolver.length), 5);
  ASSERT_TRUE(readable(resolverUdp.get(), 2000)) << "the UDP query left";
  sockaddr_storage asker{};
  socklen_t askerLength = sizeof asker;
  char buffer[64];
  ASSERT_EQ(::recvfrom(resolverUdp.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&asker), &askerLength), 5);
  ASSERT_EQ(::sendto(resolverUdp.get(), "answer", 6, 0, reinterpret_cast<sockaddr*>(&asker), askerLength), 6);
  ASSERT_TRUE(readable(query.get(), 2000)) << "the UDP answer came back";
  EXPECT_EQ(::recv(query.get(), buffer, sizeof buffer, 0), 6);

  UniqueFd tcpQuery = client.socket(AF_INET, SOCK_STREAM);
  ASSERT_EQ(::connect(tcpQuery.get(), resolver.get(), resolver.length), 0) << "the TCP query connects";
  ASSERT_TRUE(readable(resolverTcp.get(), 2000));
  UniqueFd answering(::accept4(resolverTcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(answering);
  ASSERT_EQ(::send(answering.get(), "answer", 6, MSG_NOSIGNAL), 6);
  ASSERT_TRUE(readable(tcpQuery.get(), 2000)) << "the TCP answer came back";
  EXPECT_EQ(::recv(tcpQuery.get(), buffer, sizeof buffer, 0), 6);
}

// Sends a UDP datagram from the client to the bystander every millisecond
// and counts the sends that succeed: with the kill switch in force every
// one of them is refused at the source.
class Prober {
 public:
  explicit Prober(const NetworkNamespace& client) : fd_(client.socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK)) {
    thread_ = std::thread([this] {
      const SocketAddress to = socketAddress(AF_INET, kBystander4, kProbePort);
      while (!stop_) {
        if (::sendto(fd_.get(), "p", 1, 0, to.get(), to.length) == 1) ++out_;
        ++tries_;
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  // Stops probing; the sends that got out.
  int stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return out_;
  }
  int tries() const { return tries_; }
  ~Prober() { stop(); }

 private:
  UniqueFd fd_;
  std::atomic<bool> stop_{false};
  std::atomic<int> out_{0}, tries_{0};
  std::thread thread_;
};

TEST(KillSwitchLeaks, NothingGetsOutDuringAConnectOrAServerSwitch) {
  VLVPN_REQUIRE_LAB();
  LeakLab lab;
  ASSERT_TRUE(lab.ready());
  ASSERT_TRUE(lab.vpn().startServer());
  auto& bridge = lab.bridge();
  ASSERT_TRUE(bridge.call("saveOvpnProfile", {"away", lab.vpn().profile(), "away.ovpn", ""}).contains("result"));
  ASSERT_TRUE(bridge.call("saveOvpnAuth", {"away", kLabUser, kLabPassword}).contains("result"));
  const auto connectTo = [&](const char* id) {
    bridge.call("connectOvpn", {id, std::string(id) + ".ovpn", "", ""});
    return bridge.waitForState("connected", 20s)["state"] == "connected";
  };
  const auto report = [](const char* what, int out, int tries) {
    std::printf("leak probe, %-52s %d of %d datagrams out\n", what, out, tries);
    testing::Test::RecordProperty(what, std::to_string(out) + " of " + std::to_string(tries));
  };

  {
    Prober prober(lab.vpn().client);
    ASSERT_TRUE(connectTo("home"));
    const int out = prober.stop();
    report("a connect with the kill switch off:", out, prober.tries());
    ASSERT_GT(out, 0) << "the prober counts what gets out";
  }
  ASSERT_EQ(bridge.call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
  {
    Prober prober(lab.vpn().client);
    EXPECT_EQ(bridge.call("prepareKillSwitchForReconnect")["result"],
              json({{"prepared", true}, {"path", "windows-wfp"}, {"mode", "dns_only"}}));
    ASSERT_TRUE(connectTo("away"));
    const int out = prober.stop();
    report("a switch between servers, kill switch on:", out, prober.tries());
    EXPECT_EQ(out, 0);
  }
  bridge.call("disconnect");
  {
    Prober prober(lab.vpn().client);
    ASSERT_TRUE(connectTo("home"));
    const int out = prober.stop();
    report("a connect, kill switch on:", out, prober.tries());
    EXPECT_EQ(out, 0);
  }
  EXPECT_EQ(lab.probe().leaks(), 0) << "nor at the bystander";
  bridge.call("disconnect");
}

// DHCP is the client's port 68 talking to the servers' port 67, both ways,
// and nothing else on either port.
TEST(KillSwitchLeaks, DhcpPassesOnlyBetweenTheClientAndServerPorts) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("cli"), bystander("bys");
  ASSERT_TRUE(connectNamespaces(client, {std::string(kClient4) + "/24"}, bystander, {std::string(kBystander4) + "/24"}));
  TempDir scratch;
  KillSwitchService service(scratch.path(), client.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());
  ASSERT_EQ(service.request("ENABLE udp 1194 0 198.18.5.9"), "OK");

  UniqueFd dhcpServer = boundSocket(bystander, AF_INET, SOCK_DGRAM, kBystander4, 67);
  UniqueFd otherPort = boundSocket(bystander, AF_INET, SOCK_DGRAM, kBystander4, 4444);
  UniqueFd dhcpClient = boundSocket(client, AF_INET, SOCK_DGRAM, "0.0.0.0", 68);
  ASSERT_TRUE(dhcpServer && otherPort && dhcpClient);
  const SocketAddress server = socketAddress(AF_INET, kBystander4, 67);
  const SocketAddress clientPort = socketAddress(AF_INET, kClient4, 68);
  char buffer[16];

  UniqueFd ordinary = client.socket(AF_INET, SOCK_DGRAM);
  EXPECT_NE(::sendto(ordinary.get(), "x", 1, 0, server.get(), server.length), 1) << "any program to port 67";
  EXPECT_FALSE(readable(dhcpServer.get(), 300));

  ASSERT_EQ(::sendto(dhcpClient.get(), "discover", 8, 0, server.get(), server.length), 8) << "from port 68";
  EXPECT_TRUE(readable(dhcpServer.get(), 2000));
  EXPECT_EQ(::recv(dhcpServer.get(), buffer, sizeof buffer, 0), 8);

  ASSERT_EQ(::sendto(otherPort.get(), "intrude", 7, 0, clientPort.get(), clientPort.length), 7);
  EXPECT_FALSE(readable(dhcpClient.get(), 300)) << "anyone to local port 68";
  ASSERT_EQ(::sendto(dhcpServer.get(), "offer", 5, 0, clientPort.get(), clientPort.length), 5);
  EXPECT_TRUE(readable(dhcpClient.get(), 2000)) << "a server's answer from port 67";
  EXPECT_EQ(::recv(dhcpClient.get(), buffer, sizeof buffer, 0), 5);
}

// Whether a UDP query from the client reaches `resolver` (a socket bound at
// address:53 somewhere in the lab) and its answer comes back.
bool queryAnswered(const NetworkNamespace& client, const char* address, int resolver) {
  UniqueFd query = client.socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
  const SocketAddress to = socketAddress(AF_INET, address, kDnsPort);
  if (::sendto(query.get(), "query", 5, 0, to.get(), to.length) != 5 || !readable(resolver, 500)) return false;
  sockaddr_storage asker{};
  socklen_t length = sizeof asker;
  char buffer[64];
  if (::recvfrom(resolver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&asker), &length) <= 0) return false;
  ::sendto(resolver, "answer", 6, 0, reinterpret_cast<sockaddr*>(&asker), length);
  return readable(query.get(), 1000) && ::recv(query.get(), buffer, sizeof buffer, 0) == 6;
}

TEST(KillSwitchLeaks, NoDnsOutsideATunnelThatCarriesItsOwn) {
  VLVPN_REQUIRE_LAB();
  LeakLab lab({.extraLines = {"push \"dhcp-option DNS 10.8.0.1\""}});
  ASSERT_TRUE(lab.ready());
  ASSERT_TRUE(lab.vpn().startServer());
  auto& bridge = lab.bridge();
  const NetworkNamespace& client = lab.vpn().client;
  ASSERT_EQ(bridge.call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  ASSERT_EQ(bridge.waitForState("connected", 20s)["state"], "connected");

  UniqueFd tunnelResolver = boundSocket(lab.vpn().server, AF_INET, SOCK_DGRAM, kLabServerTunnelAddress, kDnsPort);
  ASSERT_TRUE(tunnelResolver);
  // The set without the exception follows the connected report by a moment.
  const auto eventuallyUnanswered = [&] {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (!queryAnswered(client, kBystander4, lab.bystanderResolver())) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  ASSERT_TRUE(eventuallyUnanswered()) << "the local network's resolver still answers";
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_FALSE(queryAnswered(client, kBystander4, lab.bystanderResolver())) << "a query outside the tunnel";
  }
  EXPECT_TRUE(queryAnswered(client, kLabServerTunnelAddress, tunnelResolver.get())) << "the tunnel's resolver answers";

  // A server restart: OpenVPN reconnects, with DNS outside the tunnel while
  // it may have to resolve its server, and without it once connected.
  lab.vpn().killServer();
  ASSERT_NE(bridge.waitForState("connecting", 20s)["state"], "connected");
  bool answeredWhileReconnecting = false;
  for (int attempt = 0; attempt < 50 && !answeredWhileReconnecting; ++attempt) {
    answeredWhileReconnecting = queryAnswered(client, kBystander4, lab.bystanderResolver());
    if (!answeredWhileReconnecting) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(answeredWhileReconnecting) << "OpenVPN may have to resolve its server again";
  ASSERT_TRUE(lab.vpn().startServer());
  ASSERT_EQ(bridge.waitForState("connected", 30s)["state"], "connected") << "OpenVPN connects again";
  tunnelResolver = boundSocket(lab.vpn().server, AF_INET, SOCK_DGRAM, kLabServerTunnelAddress, kDnsPort);
  ASSERT_TRUE(tunnelResolver);
  EXPECT_TRUE(eventuallyUnanswered()) << lab.serviceLog();
  EXPECT_TRUE(queryAnswered(client, kLabServerTunnelAddress, tunnelResolver.get()));
  bridge.call("disconnect");
}

}  // namespace
}  // namespace vlvpn::test
