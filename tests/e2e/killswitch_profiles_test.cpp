// The kill switch with the shapes real providers' profiles take: several
// servers, a transport on the remote line, <connection> blocks, a port of
// its own, an IPv6 server, a proxy. With the kill switch on each connects
// about as fast as without it, because the filter sets let the service's own
// OpenVPN reach whatever its profile names; every other program stays
// fenced meanwhile. Everything runs in namespaces of the test's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
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

constexpr uint16_t kProxyPort = 3128;
constexpr const char* kNowhere4 = "10.231.0.99";  // on the lab's link, where no one answers

sockaddr_in ipv4(const char* address, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, address, &in.sin_addr);
  return in;
}

// An HTTP proxy in the server's namespace that takes every CONNECT to the
// lab's server, whatever it names: so the profile's server address itself
// is reachable only through the proxy. One client at a time.
class ConnectProxy {
 public:
  explicit ConnectProxy(const NetworkNamespace& space) : space_(space), listener_(space.socket(AF_INET, SOCK_STREAM)) {
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = ipv4(kLabServerAddress, kProxyPort);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener_.get(), 4) != 0) {
      listener_.reset();
      return;
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~ConnectProxy() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ready() const { return static_cast<bool>(listener_); }
  int tunnelsMade() const { return tunnels_; }

 private:
  bool waitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    while (!stop_) {
      if (::poll(&entry, 1, 100) > 0) return true;
    }
    return false;
  }
  void serve() {
    while (waitReadable(listener_.get())) {
      UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client) relay(client.get());
    }
  }
  void relay(int client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && waitReadable(client)) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      head.append(buffer, static_cast<size_t>(n));
    }
    if (!head.starts_with("CONNECT ")) return;
    UniqueFd upstream = space_.socket(AF_INET, SOCK_STREAM);
    const sockaddr_in server = ipv4(kLabServerAddress, 1194);
    if (::connect(upstream.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return;
    const std::string ok = "HTTP/1.0 200 Connection established\r\n\r\n";
    if (::send(client, ok.data(), ok.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ok.size())) return;
    ++tunnels_;
    pollfd ends[2] = {{client, POLLIN, 0}, {upstream.get(), POLLIN, 0}};
    while (!stop_) {
      if (::poll(ends, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(ends[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0 || ::send(ends[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }

  const NetworkNamespace& space_;
  UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> tunnels_{0};
  std::thread thread_;
};

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a datagram from `space` gets out to address:port (the kill switch
// refuses the send itself).
bool datagramGetsOut(const NetworkNamespace& space, const char* address, uint16_t port) {
  UniqueFd fd = space.socket(AF_INET, SOCK_DGRAM);
  const sockaddr_in to = ipv4(address, port);
  return ::sendto(fd.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1;
}

struct Shape {
  const char* name;
  const char* serverProto;
  LabServerOptions server;
  std::string lines;  // the profile's connection lines
  bool proxy = false;
};

std::vector<Shape> shapes() {
  const std::string server = kLabServerAddress;
  return {
      {"two remote lines, the first one answering", "udp", {},
       "proto udp\nremote " + server + " 1194\nremote " + kNowhere4 + " 1194\n"},
      {"a transport on the remote line beside proto udp", "tcp", {}, "proto udp\nremote " + server + " 1194 tcp\n"},
      {"<connection> blocks, each with its own transport", "tcp", {},
       "proto udp\n<connection>\nremote " + server + " 1194 tcp-client\n</connection>\n<connection>\nremote " + kNowhere4 +
           " 1194 udp\n</connection>\n"},
      {"a port line and a remote without a port", "udp", {}, "proto udp4\nport 1194\nremote " + server + "\n"},
      {"an IPv6 server, with the IPv6 block on", "udp", {.ipv6 = true},
       std::string("proto udp6\nremote ") + kLabServerAddress6 + " 1194\n"},
      {"an http-proxy in front of the server", "tcp", {},
       "proto tcp-client\nremote " + std::string(kNowhere4) + " 1194\nhttp-proxy " + server + " " +
           std::to_string(kProxyPort) + "\n",
       true},
  };
}

// The time from connectOvpn to "connected"; nullopt when it never came.
std::optional<std::chrono::milliseconds> timeToConnect(BridgeClient& bridge, std::chrono::seconds limit) {
  const auto start = std::chrono::steady_clock::now();
  if (bridge.call("connectOvpn", {"shape", "shape.ovpn", "", ""})["result"]["state"] != "connecting") return std::nullopt;
  if (bridge.waitForState("connected", limit)["state"] != "connected") return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(KillSwitchProfiles, EveryServerAProfileNamesIsReachedAsFastAsWithoutTheKillSwitch) {
  VLVPN_REQUIRE_ENVIRONMENT(canRunVpnLab(), "needs root, network namespaces, /dev/net/tun and openvpn");
  for (const auto& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    TempDir scratch;
    VpnLab lab(scratch.path(), shape.serverProto, shape.server);
    ASSERT_TRUE(lab.ready());
    ASSERT_TRUE(lab.startServer());
    std::unique_ptr<ConnectProxy> proxy;
    if (shape.proxy) {
      proxy = std::make_unique<ConnectProxy>(lab.server);
      ASSERT_TRUE(proxy->ready());
    }
    KillSwitchService service(scratch.path(), lab.client.wrapper());
    ASSERT_TRUE(service.waitUntilAnswering());
    BridgeClient bridge({{"XDG_DATA_HOME", (scratch.path() / "home").string()},
                         {"VLVPN_KILLSWITCH_SOCKET", service.endpoint}},
                        lab.client.wrapper());
    ASSERT_TRUE(bridge.started());
    const std::string profile = withServerLines(lab.profile(), shape.lines);
    ASSERT_TRUE(bridge.call("saveOvpnProfile", {"shape", profile, "shape.ovpn", ""}).contains("result"));
    ASSERT_TRUE(bridge.call("saveOvpnAuth", {"shape", kLabUser, kLabPassword}).contains("result"));

    const auto log = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "shape" / "openvpn.log";
    const auto off = timeToConnect(bridge, 30s);
    ASSERT_TRUE(off) << "the profile works without the kill switch\n" << fileText(log);
    bridge.call("disconnect");

    ASSERT_EQ(bridge.call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
    const auto on = timeToConnect(bridge, 30s);
    ASSERT_TRUE(on) << "connects with the kill switch on\n" << fileText(log);
    std::printf("kill switch and profiles, %-52s off %5lld ms, on %5lld ms\n", shape.name,
                static_cast<long long>(off->count()), static_cast<long long>(on->count()));
    testing::Test::RecordProperty(shape.name, std::to_string(off->count()) + " ms off, " +
                                                  std::to_string(on->count()) + " ms on");
    // A fenced server costs OpenVPN its connect-timeout, 10 s on our command line.
    EXPECT_LT(on->count(), off->count() + 4000) << "no server of the profile is fenced out";
    if (proxy) {
      EXPECT_GE(proxy->tunnelsMade(), 2) << "OpenVPN reached its server through the proxy";
    }

    const json status = bridge.call("getStatus")["result"];
    EXPECT_EQ(status.value("killSwitchActive", false), true) << status;
    EXPECT_TRUE(lab.client.run({"ping", "-c", "1", "-W", "2", kLabServerTunnelAddress})) << "the tunnel carries traffic";
    EXPECT_FALSE(datagramGetsOut(lab.client, kLabServerAddress, 9)) << "any other program stays fenced";
    EXPECT_FALSE(datagramGetsOut(lab.client, kNowhere4, 1195)) << "also towards another port of a server's address";
    bridge.call("disconnect");
  }
}

}  // namespace
}  // namespace vlvpn::test
