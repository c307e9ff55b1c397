// VLVPNDesk.exe's shell under Wine and Xvfb, driven through its bridge: the
// main window hides instead of closing, a second start hands over to the
// first, a log-on start shows no window, the tray menu follows the model,
// and the Run value.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/path_bytes.h"
#include "desktop/shell/startup_task.h"
#include "tests/support/bridge_client.h"
#include "tests/support/desktop_windows_win32.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::optional<json> nextEventNamed(BridgeClient& bridge, const std::string& name) {
  for (;;) {
    auto event = bridge.nextEvent(10s);
    if (!event || (*event)["event"] == name) return event;
  }
}

class DesktopShellWindows : public testing::Test {
 protected:
  EnvironmentOverrides environment(const std::string& instance) const {
    return {{"LOCALAPPDATA", utf8FromPath(scratch.path() / "local")}, {"VLVPN_DESK_INSTANCE", instance}};
  }
  TempDir scratch;
};

TEST_F(DesktopShellWindows, ClosingHidesTheWindowAndActivatingShowsItAgain) {
  BridgeClient bridge(environment("close-" + std::to_string(GetCurrentProcessId())));
  ASSERT_EQ(bridge.call("isAppWindowVisible")["result"], true);
  const HWND window = mainWindowOf(bridge.child().pid());
  ASSERT_TRUE(window);
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  EXPECT_FALSE(style & WS_THICKFRAME) << "not resizable";
  EXPECT_FALSE(style & WS_MAXIMIZEBOX) << "not maximizable";

  PostMessageW(window, WM_CLOSE, 0, 0);
  const auto hidden = nextEventNamed(bridge, "appWindowDidHide");
  ASSERT_TRUE(hidden);
  EXPECT_FALSE(hidden->contains("body"));
  EXPECT_EQ(bridge.call("isAppWindowVisible")["result"], false);
  EXPECT_TRUE(IsWindow(window)) << "closing never ends the window, nor the program";

  EXPECT_EQ(bridge.call("activateApp")["result"], true);
  EXPECT_TRUE(nextEventNamed(bridge, "appWindowDidShow"));
  EXPECT_EQ(bridge.call("isAppWindowVisible")["result"], true);
}

TEST_F(DesktopShellWindows, ASecondStartHandsOverToTheFirstAndEnds) {
  const auto env = environment("second-" + std::to_string(GetCurrentProcessId()));
  BridgeClient first(env);
  ASSERT_EQ(first.call("getStatus")["result"]["state"], "disconnected");  // the tray is up from here
  PostMessageW(mainWindowOf(first.child().pid()), WM_CLOSE, 0, 0);
  ASSERT_TRUE(nextEventNamed(first, "appWindowDidHide"));

  auto second = ChildProcess::start(builtProgram("VLVPNDesk"), {}, env);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->waitForExit(20s), 0);
  EXPECT_TRUE(nextEventNamed(first, "appWindowDidShow")) << "the first shows its window";
  EXPECT_EQ(first.call("isAppWindowVisible")["result"], true);
}

TEST_F(DesktopShellWindows, ALogOnStartShowsNoWindowAndSaysSo) {
  auto env = withOwnInstance(environment("startup-" + std::to_string(GetCurrentProcessId())));
  auto started = ChildProcess::start(builtProgram("VLVPNDesk"), {"--bridge", "--startup"}, env);
  ASSERT_TRUE(started);
  started->writeLine(R"({"id":1,"module":"VLVPNTunnel","method":"wasLaunchedAtStartup","args":[]})");
  started->writeLine(R"({"id":2,"module":"VLVPNTunnel","method":"isAppWindowVisible","args":[]})");
  std::vector<json> answers;
  for (int i = 0; i < 2; ++i) {
    const auto line = started->readLine(20s);
    ASSERT_TRUE(line);
    answers.push_back(json::parse(*line));
  }
  EXPECT_EQ(answers[0], (json{{"id", 1}, {"result", true}}));
  EXPECT_EQ(answers[1], (json{{"id", 2}, {"result", false}}));
}

TEST_F(DesktopShellWindows, TheTrayMenuOpensWithThePushedModelAndCloses) {
  const std::string instance = "menu-" + std::to_string(GetCurrentProcessId());
  BridgeClient bridge(environment(instance));
  EXPECT_EQ(bridge.call("updateMenuBarMenu", {R"({"connected":true,"serverLabel":"Oslo","dedicated":[]})"})["result"],
            true);
  const HWND tray = trayWindowOf(instance);
  ASSERT_TRUE(tray);
  const HWND menuWindow = openTrayMenu(tray, bridge.child().pid());
  // Its items are tested as values (buildTrayMenu): Wine keeps a menu's
  // items to its own process, so here it is only opened and closed.
  ASSERT_TRUE(menuWindow) << "the menu opened";
  EXPECT_TRUE(closeTrayMenu(menuWindow));
  EXPECT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected") << "the program carries on";

  // Hidden icon, same window: a second start still reaches it.
  EXPECT_EQ(bridge.call("setMenuBarVisible", {false})["result"], false);
  EXPECT_EQ(trayWindowOf(instance), tray);
  EXPECT_EQ(bridge.call("setMenuBarVisible", {true})["result"], true);
}

// Wine sends no power broadcasts of its own: the test sends what Windows
// would, to the tray window registered for them.
TEST_F(DesktopShellWindows, PowerBroadcastsBecomeSleepAndResumeEvents) {
  const std::string instance = "power-" + std::to_string(GetCurrentProcessId());
  BridgeClient bridge(environment(instance));
  ASSERT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected");
  const HWND tray = trayWindowOf(instance);
  ASSERT_TRUE(tray);
  for (WPARAM event : {PBT_APMQUERYSUSPEND, PBT_APMPOWERSTATUSCHANGE, PBT_APMSUSPEND, PBT_APMRESUMEAUTOMATIC,
                       PBT_APMRESUMESUSPEND}) {
    PostMessageW(tray, WM_POWERBROADCAST, event, 0);
  }
  std::vector<std::string> names;
  while (names.size() < 4) {
    const auto event = bridge.nextEvent(10s);
    ASSERT_TRUE(event);
    names.push_back((*event)["event"]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"systemWillSleep", "systemWillSleep", "systemDidResume",
                                             "systemDidResume"}))
      << "a power-status change is no sleep";
}

std::optional<std::wstring> runValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t data[1024] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  const LONG status = RegQueryValueExW(key, L"VelmoraVPN", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::wstring(data);
}

TEST_F(DesktopShellWindows, LaunchAtLogOnWritesTheRunValueQuoted) {
  // Unpackaged (as every run under Wine), so the Run value is the road.
  BridgeClient bridge(environment("run-" + std::to_string(GetCurrentProcessId())));
  EXPECT_EQ(bridge.call("setLaunchAtLogin", {true})["result"], true);
  const auto value = runValue();
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, L"\"" + std::filesystem::absolute(builtProgram("VLVPNDesk")).wstring() + L"\" --startup");
  EXPECT_EQ(bridge.call("getLaunchAtLogin")["result"], true);
  EXPECT_EQ(bridge.call("setLaunchAtLogin", {false})["result"], true);
  EXPECT_FALSE(runValue());
  EXPECT_EQ(bridge.call("getLaunchAtLogin")["result"], false);
}

TEST(StartupTaskUnderWine, AProgramWithoutPackageIdentityTakesTheUnpackagedRoad) {
  // Wine never gives a program package identity: the startup task is never
  // asked, a start is never taken for the task's, and log-on start is the
  // Run value (the test above).
  const auto task = shell::StartupTaskPort::create();
  EXPECT_FALSE(task->isPackaged());
  EXPECT_FALSE(task->activatedByStartupTask());
}

}  // namespace
}  // namespace vlvpn::test
