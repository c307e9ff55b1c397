// How long our whole stack takes from connectOvpn to getStatus saying
// "connected", beside bare OpenVPN with the same profile reporting CONNECTED
// on its management interface; how long getStatus takes while connected,
// with and without 100 more interfaces beside the tunnel's; and the desktop
// program's resident memory over 200,000 calls. Everything runs in
// namespaces of its own (root). Run by scripts/bench, which writes what it
// prints into docs/benchmarks.md.
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
#include "tests/bench/bench_stats.h"
#include "common/posix/wait_fd.h"
#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

using bench::Clock;
using bench::median;
using bench::percentile;
using nlohmann::json;
constexpr int kRuns = 10;
constexpr int kStatusCalls = 200;

double msSince(Clock::time_point start) { return bench::millisecondsSince(start); }

std::vector<double> timeStatusCalls(BridgeClient& bridge) {
  std::vector<double> samples;
  for (int call = 0; call < kStatusCalls; ++call) {
    const auto start = Clock::now();
    bridge.call("getStatus");
    samples.push_back(msSince(start));
  }
  return samples;
}

// 100 more interfaces in the client namespace, as docks, virtual machines
// and containers leave on a real machine; false when they could not be made.
bool addInterfaces(const NetworkNamespace& space, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = "extra" + std::to_string(i);
    if (!space.run({"ip", "tuntap", "add", "dev", name, "mode", "tun"}) || !space.run({"ip", "link", "set", name, "up"})) {
      return false;
    }
  }
  return true;
}

// Resident memory of the desktop program before and after 2 × 100,000 calls
// the interface makes all the time.
std::string desktopMemory(BridgeClient& bridge) {
  const int pid = static_cast<int>(bridge.child().pid());
  const long idle = bench::residentKib(pid);
  long after[2] = {};
  for (int block = 0; block < 2; ++block) {
    for (int i = 0; i < 100000; ++i) bridge.call(i % 2 ? "getTrafficStats" : "listSavedOvpnProfiles");
    after[block] = bench::residentKib(pid);
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "| desktop program resident memory | %ld KiB idle, %ld KiB after 100,000, %ld KiB after 200,000 |  | "
                "%+ld KiB over the second 100,000 | flat |",
                idle, after[0], after[1], after[1] - after[0]);
  return text;
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

// Requests the desktop program sends the service on its own while nothing
// happens, counted from the service's log (a line a request) over `window`.
int idleRequests(KillSwitchService& service, std::chrono::seconds window) {
  const auto lines = [&] {
    const std::string log = service.logText();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  };
  const int before = lines();
  std::this_thread::sleep_for(window);
  return lines() - before;
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

  const std::string memory = desktopMemory(bridge);

  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  bridge.waitForState("connected", std::chrono::seconds(20));
  const std::vector<double> status = timeStatusCalls(bridge);
  if (!addInterfaces(lab.client, 100)) return std::fprintf(stderr, "bench: the extra interfaces could not be made\n"), 1;
  const std::vector<double> crowded = timeStatusCalls(bridge);
  bridge.call("disconnect");

  // What keeping the filter sets in force costs while nothing happens.
  constexpr auto kIdleWindow = std::chrono::seconds(10);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int idleOff = idleRequests(service, kIdleWindow);
  bridge.call("setKillSwitchEnabled", {true});
  bridge.call("connectOvpn", {"home", "home.ovpn", "", ""});
  bridge.waitForState("connected", std::chrono::seconds(20));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int idleConnected = idleRequests(service, kIdleWindow);
  bridge.call("disconnect");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int idleFenced = idleRequests(service, kIdleWindow);
  bridge.call("setKillSwitchEnabled", {false});

  const double oursMedian = median(ours), bareMedian = median(bare);
  std::printf("| connectOvpn to \"connected\" over UDP, %d runs each (median) | %.0f ms | %.0f ms bare OpenVPN | %.2f× "
              "(%+.0f ms) | |\n",
              kRuns, oursMedian, bareMedian, oursMedian / bareMedian, oursMedian - bareMedian);
  std::printf("| getStatus while connected, %d calls through the bridge (median / p95) | %.2f ms / %.2f ms | | | |\n",
              kStatusCalls, median(status), percentile(status, 0.95));
  std::printf("| getStatus while connected, 100 more interfaces (median / p95) | %.2f ms / %.2f ms | | | < 2 ms median |\n",
              median(crowded), percentile(crowded, 0.95));
  std::printf("%s\n", memory.c_str());
  const auto perMinute = [&](int requests) { return requests * 60.0 / static_cast<double>(kIdleWindow.count()); };
  std::printf("| service requests while idle: kill switch off and no tunnel / kill switch on, disconnected / "
              "connected | %.0f / %.0f / %.0f a minute | | | 0 / ≤ 30 / ≤ 30 |\n",
              perMinute(idleOff), perMinute(idleFenced), perMinute(idleConnected));
  return 0;
}

}  // namespace
}  // namespace vlvpn::test

int main() { return vlvpn::test::run(); }
