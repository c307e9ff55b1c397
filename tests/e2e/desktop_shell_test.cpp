// The Linux desktop program as a user's session sees it: one instance per
// user, the start at log-on, and the tunnel adapter's carrier reported as
// it comes and goes.
#include <systemd/sd-bus.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/path_bytes.h"
#include "tests/support/bridge_client.h"
#include "tests/support/network_namespace.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TEST(DesktopShell, ASecondStartOfTheSameUserEndsAtOnceAndLeavesTheFirstRunning) {
  TempDir scratch;
  const EnvironmentOverrides environment{{"XDG_DATA_HOME", (scratch.path() / "data").string()},
                                         {"XDG_RUNTIME_DIR", scratch.path().string()},
                                         {"VLVPN_DESK_INSTANCE", "second-start"}};
  BridgeClient first(environment);
  ASSERT_EQ(first.call("getStatus")["result"]["state"], "disconnected");

  auto second = ChildProcess::start(builtProgram("VLVPNDesk"), {"--bridge"}, environment);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->waitForExit(10s), 0);
  EXPECT_EQ(first.call("getStatus")["result"]["state"], "disconnected") << "the first one still answers";
}

TEST(DesktopShell, LaunchAtLogOnWritesTheAutostartEntryAndALogOnStartSaysSo) {
  TempDir scratch;
  const auto config = scratch.path() / "config";
  const EnvironmentOverrides environment{{"XDG_DATA_HOME", (scratch.path() / "data").string()},
                                         {"XDG_CONFIG_HOME", config.string()}};
  BridgeClient bridge(environment);
  EXPECT_EQ(bridge.call("getLaunchAtLogin")["result"], false);
  EXPECT_EQ(bridge.call("setLaunchAtLogin", {true})["result"], true);
  const auto entry = config / "autostart" / "VelmoraVPN.desktop";
  std::ifstream in(entry);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(text.find("\nExec=\"" + utf8FromPath(builtProgram("VLVPNDesk")) + "\" --startup\n"), std::string::npos)
      << text;
  EXPECT_EQ(bridge.call("getLaunchAtLogin")["result"], true);
  EXPECT_EQ(bridge.call("wasLaunchedAtStartup")["result"], false);
  EXPECT_EQ(bridge.call("setLaunchAtLogin", {false})["result"], true);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(bridge.call("setLaunchAtLogin", {false})["result"], true) << "also when there was none";

  // What the entry starts.
  auto started = ChildProcess::start(builtProgram("VLVPNDesk"), {"--bridge", "--startup"}, withOwnInstance(environment));
  ASSERT_TRUE(started);
  started->writeLine(R"({"id":1,"module":"VLVPNTunnel","method":"wasLaunchedAtStartup","args":[]})");
  const auto answer = started->readLine(10s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(json::parse(*answer), (json{{"id", 1}, {"result", true}}));
}

// logind on a bus of the test's own, standing in for the system bus.
class FakeLogind {
 public:
  explicit FakeLogind(const std::filesystem::path& folder) {
    daemon_ = ChildProcess::start("/usr/bin/dbus-daemon",
                                  {"--session", "--nofork", "--print-address=1",
                                   "--address=unix:path=" + (folder / "system_bus_socket").string()});
    if (!daemon_) return;
    if (auto line = daemon_->readLine(10s)) address_ = *line;
    if (address_.empty() || sd_bus_new(&bus_) < 0) return;
    sd_bus_set_address(bus_, address_.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0 || sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
      sd_bus_flush_close_unref(bus_);
      bus_ = nullptr;
    }
  }
  ~FakeLogind() {
    if (bus_) sd_bus_flush_close_unref(bus_);
    if (daemon_) daemon_->requestStop();  // it does not end with its input
  }
  bool ready() const { return bus_ != nullptr; }
  const std::string& address() const { return address_; }
  void prepareForSleep(bool sleeping) {
    sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                       sleeping ? 1 : 0);
    sd_bus_flush(bus_);
  }

 private:
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
  sd_bus* bus_ = nullptr;
};

TEST(DesktopShell, TurnsLogindsPrepareForSleepIntoSleepAndResumeEvents) {
  TempDir scratch;
  FakeLogind logind(scratch.path());
  ASSERT_TRUE(logind.ready()) << "a private D-Bus daemon";
  BridgeClient bridge(
      {{"XDG_DATA_HOME", (scratch.path() / "data").string()}, {"DBUS_SYSTEM_BUS_ADDRESS", logind.address()}});
  ASSERT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected");

  // The program subscribes on a thread of its own; until it has, a signal
  // reaches no one, so it is sent again until the first event comes.
  std::optional<json> event;
  for (int attempt = 0; attempt < 50 && !event; ++attempt) {
    logind.prepareForSleep(true);
    event = bridge.nextEvent(200ms);
  }
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (json{{"event", "systemWillSleep"}}));

  logind.prepareForSleep(false);
  while ((event = bridge.nextEvent(10s)) && (*event)["event"] == "systemWillSleep") {
  }
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (json{{"event", "systemDidResume"}}));
}

// A veth end named like the tunnel adapter: its carrier follows the peer.
TEST(DesktopShell, ReportsTheTunnelAdapterGainingAndLosingItsCarrierAndNothingElse) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root and network namespaces");
  NetworkNamespace ns("shell");
  ASSERT_TRUE(ns.run({"ip", "link", "add", "tap-windows0", "type", "veth", "peer", "name", "tap-peer"}));
  ASSERT_TRUE(ns.run({"ip", "link", "set", "tap-windows0", "up"}));
  TempDir scratch;
  BridgeClient bridge({{"XDG_DATA_HOME", (scratch.path() / "data").string()}}, ns.wrapper());
  ASSERT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected");  // the module is up and watching

  ASSERT_TRUE(ns.run({"ip", "link", "set", "tap-peer", "up"}));
  auto event = bridge.nextEvent(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (json{{"event", "tunnelAdapterChanged"}, {"body", {{"up", true}}}}));

  // Another interface coming and going changes nothing the interface needs.
  ASSERT_TRUE(ns.run({"ip", "link", "add", "other0", "type", "veth", "peer", "name", "other1"}));
  ASSERT_TRUE(ns.run({"ip", "link", "set", "other0", "up"}));
  ASSERT_TRUE(ns.run({"ip", "link", "set", "other1", "up"}));
  ASSERT_TRUE(ns.run({"ip", "addr", "add", "10.77.0.1/24", "dev", "other0"}));

  ASSERT_TRUE(ns.run({"ip", "link", "set", "tap-peer", "down"}));
  event = bridge.nextEvent(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (json{{"event", "tunnelAdapterChanged"}, {"body", {{"up", false}}}}))
      << "the next event is the carrier's loss, none for other0";
}

}  // namespace
}  // namespace vlvpn::test
