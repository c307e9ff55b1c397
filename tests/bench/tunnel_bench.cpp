// How long our whole stack takes from connectOvpn to getStatus saying
// "connected", beside bare OpenVPN with the same profile reporting CONNECTED
// on its management interface; and how long getStatus takes while connected.
// Everything runs in namespaces of its own (root). Run by scripts/bench.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "common/openvpn_arguments.h"
#include "common/posix/wait_fd.h"
#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
constexpr int kRuns = 10;
constexpr int kStatusCalls = 200;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

// Connects from inside the client namespace to OpenVPN's management port.
UniqueFd connectManagement(const NetworkNamespace& space) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    UniqueFd fd = space.socket(AF_INET, SOCK_STREAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(11940);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return UniqueFd();
}

// Reads until a line reports CONNECTED (history or real time); false on end.
bool waitForConnected(int fd) {
  std::string text;
  char buffer[4096];
  while (waitForFd(fd, POLLIN, std::chrono::milliseconds(20000))) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    text.append(buffer, static_cast<size_t>(n));
    if (text.find(",CONNECTED,") != std::string::npos) return true;
  }
  return false;
}

// Bare OpenVPN started on the same profile with the same arguments.
double bareOpenVpnRun(const VpnLab& lab, const std::filesystem::path& folder) {
  const std::string args = formatOpenVpnArguments(
      {(folder / "home.ovpn").string(), (folder / "auth.txt").string(), (folder / "bare.log").string()});
  std::vector<std::string> command = {"netns", "exec", lab.client.name(), "/usr/sbin/openvpn"};
  for (auto& word : openVpnArgumentVector(*parseOpenVpnArguments(args))) command.push_back(word);
  const auto start = Clock::now();
  auto openVpn = ChildProcess::start("/usr/sbin/ip", command);
  UniqueFd management = connectManagement(lab.client);
  const std::string on = "state on all\r\n";
  ::send(management.get(), on.data(), on.size(), MSG_NOSIGNAL);
  const bool connected = waitForConnected(management.get());
  const double elapsed = msSince(start);
  const std::string stop = "signal SIGTERM\r\n";
  ::send(management.get(), stop.data(), stop.size(), MSG_NOSIGNAL);
  openVpn->waitForExit(std::chrono::seconds(10));
  return connected ? elapsed : -1;
}

double ourRun(BridgeClient& bridge) {
  const auto start = Clock::now();
  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  for (;;) {
    const json status = bridge.call("getStatus")["result"];
    if (status["state"] == "connected") break;
    if (msSince(start) > 20000) return -1;
  }
  const double elapsed = msSince(start);
  bridge.call("disconnect");
  return elapsed;
}

int run() {
  if (!canRunVpnLab()) {
    std::fprintf(stderr, "bench: needs root, network namespaces, /dev/net/tun and openvpn\n");
    return 2;
  }
  TempDir scratch;
  VpnLab lab(scratch.path(), "udp");
  if (!lab.ready() || !lab.startServer()) return std::fprintf(stderr, "bench: the VPN lab did not start\n"), 1;
  KillSwitchService service(scratch.path(), lab.client.wrapper());
  if (!service.waitUntilAnswering()) return std::fprintf(stderr, "bench: the service did not answer\n"), 1;
  BridgeClient bridge({{"XDG_DATA_HOME", (scratch.path() / "home").string()}, {"VLVPN_KILLSWITCH_SOCKET", service.endpoint}},
                      lab.client.wrapper());
  bridge.call("saveOvpnProfile", {"home", lab.profile(), "home.ovpn", ""});
  bridge.call("saveOvpnAuth", {"home", kLabUser, kLabPassword});
  const auto folder = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "home";

  std::vector<double> ours, bare;
  for (int run = 0; run < kRuns; ++run) {
    ours.push_back(ourRun(bridge));
    bare.push_back(bareOpenVpnRun(lab, folder));
  }
  if (std::count(ours.begin(), ours.end(), -1) || std::count(bare.begin(), bare.end(), -1)) {
    return std::fprintf(stderr, "bench: a run did not reach CONNECTED\n"), 1;
  }

  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  bridge.waitForState("connected", std::chrono::seconds(20));
  std::vector<double> status;
  for (int call = 0; call < kStatusCalls; ++call) {
    const auto start = Clock::now();
    bridge.call("getStatus");
    status.push_back(msSince(start));
  }
  bridge.call("disconnect");

  const double oursMedian = percentile(ours, 0.5), bareMedian = percentile(bare, 0.5);
  std::printf("connect to connected over UDP, %d runs each: ours median %.0f ms, bare openvpn median %.0f ms, "
              "difference %.0f ms\n",
              kRuns, oursMedian, bareMedian, oursMedian - bareMedian);
  std::printf("getStatus while connected, %d calls through the bridge: median %.2f ms, p95 %.2f ms\n", kStatusCalls,
              percentile(status, 0.5), percentile(status, 0.95));
  return 0;
}

}  // namespace
}  // namespace vlvpn::test

int main() { return vlvpn::test::run(); }
