#include "desktop/tunnel/tunnel_module.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <mutex>
#include <system_error>
#include <utility>

#include "desktop/services/applications.h"
#include "desktop/tunnel/event_hooks.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tunnel_rig.h"

namespace vlvpn::tunnel {
namespace {

using host::Args;
using host::Promise;
using host::Settlement;
using nlohmann::json;

// Calls one method synchronously and returns what the promise settled with.
Settlement call(const host::ModuleTable& module, const std::string& name, json args = json::array()) {
  const host::Method* method = module.findMethod(name);
  if (!method) return Error{"no such method"};
  std::promise<Settlement> done;
  method->invoke(Args(std::move(args)), Promise([&](Settlement s) { done.set_value(std::move(s)); }));
  return done.get_future().get();
}

class TunnelModuleTest : public testing::Test {
 protected:
  // What the service was sent since the last call.
  std::vector<std::string> takeSent() {
    auto sent = rig.service.requests();
    rig.service.forget();
    return sent;
  }
  void setSession(const char* state, ServerEndpoint endpoint) {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    rig.ports.tunnel->session.state = state;
    rig.ports.tunnel->session.endpoint = std::move(endpoint);
  }

  test::TunnelRig rig;
  std::optional<std::filesystem::path> chosen;
  host::ModuleTable module = makeTunnelModule({.ports = rig.ports, .chooseProfileFile = [this] { return chosen; }});
};

TEST_F(TunnelModuleTest, DeclaresTheMethodsAndEventsInRegistrationOrder) {
  std::vector<std::string> names;
  for (const auto& m : module.methods) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "pingHelper", "installHelper", "saveOvpnProfile", "saveOvpnProfileMeta",
                       "listSavedOvpnProfiles", "deleteOvpnProfile", "saveOvpnAuth", "readOvpnAuth", "connectOvpn",
                       "disconnect", "getStatus", "getHelperInfo", "pingThroughTunnel", "measureTcpLatency",
                       "getTrafficStats", "getDeviceMarketingName", "promptVpnAuth", "setKillSwitchEnabled",
                       "prepareKillSwitchForReconnect", "setBlockIpv6Enabled", "pickApp", "pickOvpnFile",
                       "terminateApps", "setMenuBarVisible", "updateMenuBarMenu", "activateApp",
                       "isAppWindowVisible", "notifyVpnConnectedOnHide", "requestNotificationPermission",
                       "setLaunchAtLogin", "getLaunchAtLogin", "wasLaunchedAtStartup", "writeUserDefaults",
                       "readUserDefaults", "writeKeychainItem", "readKeychainItem", "deleteKeychainItem"}));
  EXPECT_EQ(module.events, (std::vector<std::string>{"menuBarAction", "appWindowDidShow", "appWindowDidHide",
                                                     "systemDidResume", "systemWillSleep", "tunnelAdapterChanged"}));
  using host::ArgType;
  EXPECT_EQ(module.findMethod("saveOvpnProfile")->args.size(), 4u);
  EXPECT_EQ(module.findMethod("pingThroughTunnel")->args, (std::vector{ArgType::String, ArgType::Int}));
  EXPECT_EQ(module.findMethod("terminateApps")->args, std::vector{ArgType::StringList});
  EXPECT_EQ(module.findMethod("setKillSwitchEnabled")->args, std::vector{ArgType::Bool});
}

TEST_F(TunnelModuleTest, PromptVpnAuthAlwaysRejects) {
  for (const auto& args : {json{"", ""}, json{"user", "pass"}, json{"\xC3\xA9", "x"}}) {
    auto settled = call(module, "promptVpnAuth", args);
    ASSERT_FALSE(settled);
    EXPECT_EQ(settled.error().message, "Interactive auth prompt not available on Windows");
  }
}

TEST_F(TunnelModuleTest, ProfileMethodsAnswerWithTheInterfaceShapes) {
  auto saved = call(module, "saveOvpnProfile", {"p1", "client\n", "p1.ovpn", "ignored"});
  ASSERT_TRUE(saved) << saved.error().message;
  EXPECT_EQ(saved.value()["fileName"], "p1.ovpn");
  EXPECT_TRUE(saved.value()["configPath"].get<std::string>().ends_with("p1.ovpn"));

  EXPECT_EQ(call(module, "saveOvpnProfileMeta", {"p1", "{\"a\":1}\r\n"}).value(), nullptr);
  EXPECT_EQ(call(module, "listSavedOvpnProfiles").value(), json::array({{{"_raw", "{\"a\":1}\n"}}}));
  EXPECT_EQ(call(module, "saveOvpnAuth", {"p1", "u", "p"}).value(), nullptr);
  EXPECT_EQ(call(module, "readOvpnAuth", {"p1"}).value(), json({{"username", "u"}, {"password", "p"}}));
  EXPECT_EQ(call(module, "readOvpnAuth", {"p2"}).error().message, "Auth file not found");
  EXPECT_EQ(call(module, "deleteOvpnProfile", {".."}).error().message, "Invalid profile identifier");
  EXPECT_EQ(call(module, "deleteOvpnProfile", {"p1"}).value(), nullptr);
  EXPECT_EQ(call(module, "listSavedOvpnProfiles").value(), json::array());
}

TEST_F(TunnelModuleTest, PickOvpnFileResolvesTheFileOrAnEmptyObject) {
  EXPECT_EQ(call(module, "pickOvpnFile").value(), json::object()) << "cancelled";

  const auto path = rig.base.path() / "picked.ovpn";
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF" "dev tun\n";
  chosen = path;
  const json picked = call(module, "pickOvpnFile").value();
  EXPECT_EQ(picked["fileName"], "picked.ovpn");
  EXPECT_EQ(picked["content"], "dev tun\n");
  EXPECT_FALSE(picked["sourceDirectory"].get<std::string>().empty());
}

TEST_F(TunnelModuleTest, AWorkerThatCannotStartStillSettles) {
  TunnelPorts ports = rig.ports;
  ports.startThread = [](std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  auto failing = makeTunnelModule({.ports = ports, .chooseProfileFile = [this] { return chosen; }});
  EXPECT_EQ(call(failing, "pickOvpnFile").error().message, host::kWorkerStartFailed);
  EXPECT_EQ(call(failing, "connectOvpn", {"p", "p.ovpn", "", ""}).error().message, host::kWorkerStartFailed);
  EXPECT_EQ(call(failing, "disconnect").error().message, host::kWorkerStartFailed);

  // Methods that never reject answer with what they give when nothing could be done.
  EXPECT_EQ(call(failing, "pingThroughTunnel", {"", 100}).value(), json({{"ok", false}, {"reason", "worker_unavailable"}}));
  EXPECT_EQ(call(failing, "measureTcpLatency", {"127.0.0.1", 443}).value(), 0);
  EXPECT_EQ(call(failing, "setKillSwitchEnabled", {true}).value(), json({{"enabled", true}}));
  EXPECT_TRUE(rig.ports.killSwitch->killSwitchEnabled) << "the setting is kept for the next connect";
  EXPECT_EQ(call(failing, "prepareKillSwitchForReconnect").value(),
            json({{"prepared", false}, {"reason", "worker_unavailable"}}));
  EXPECT_EQ(call(failing, "setBlockIpv6Enabled", {false}).value(), json({{"enabled", false}}));
  EXPECT_TRUE(takeSent().empty());
}

TEST(TunnelModuleHelper, ReportsWhetherOpenVpnIsThere) {
  std::filesystem::path found;
  TunnelPorts ports;
  ports.locateOpenVpn = [&] { return found; };
  auto module = makeTunnelModule({.ports = ports});
  EXPECT_EQ(call(module, "pingHelper").error().message, "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/");
  EXPECT_EQ(call(module, "installHelper").value(),
            json({{"installed", false}, {"reachable", false}, {"pong", ""},
                  {"hint", "OpenVPN not found. Install from https://openvpn.net/community-downloads/"}}));
  found = std::filesystem::path("/usr/sbin/openvpn");
  EXPECT_EQ(call(module, "pingHelper").value(), "pong");
  EXPECT_EQ(call(module, "installHelper").value(),
            json({{"installed", true}, {"reachable", true}, {"pong", "pong"}, {"hint", found.string()}}));
}

// Preferences, secrets, the model and the programs to close, through the
// methods' argument and result shapes.
TEST_F(TunnelModuleTest, PlatformServiceMethodsKeepBytesAndShapes) {
  test::TempDir scratch;
  ServicePorts services;
  services.preferences = std::make_shared<services::PreferenceStore>(scratch.path() / "prefs");
  services.secrets = services::SecretStore::create(scratch.path() / "secrets");
  services.deviceModel = [] { return std::string("ThinkPad X1"); };
  const std::string sep(services::nativePathSeparators());
  const std::string chosenPath = sep + "apps" + sep + "App.Exe";
  services.chooseApplication = [chosenPath] { return std::optional<std::string>(chosenPath); };
  std::vector<std::string> asked;
  services.terminateApplications = [&](const std::vector<std::string>& names) {
    asked = names;
    return std::vector<std::string>{"app.exe"};
  };
  auto withServices = makeTunnelModule({.ports = rig.ports, .services = services});

  EXPECT_EQ(call(withServices, "getDeviceMarketingName").value(), "ThinkPad X1");
  EXPECT_TRUE(call(withServices, "writeUserDefaults", {"a key/x", "line\r\nnext"}).value().is_null());
  EXPECT_EQ(call(withServices, "readUserDefaults", {"a key/x"}).value(), "line\r\nnext");
  EXPECT_TRUE(std::filesystem::exists(scratch.path() / "prefs" / "a_key_x"));
  EXPECT_EQ(call(withServices, "readUserDefaults", {"never written"}).value(), "");

  EXPECT_TRUE(call(withServices, "writeKeychainItem", {"svc/", "acct", "s\u00e9cret"}).value().is_null());
  EXPECT_EQ(call(withServices, "readKeychainItem", {"svc", "/acct"}).value(), "s\u00e9cret") << "both join to svc//acct";
  EXPECT_TRUE(call(withServices, "deleteKeychainItem", {"svc/", "acct"}).value().is_null());
  EXPECT_EQ(call(withServices, "readKeychainItem", {"svc/", "acct"}).value(), "");
  EXPECT_TRUE(call(withServices, "deleteKeychainItem", {"svc/", "acct"}).value().is_null()) << "twice is fine";

  EXPECT_EQ(call(withServices, "pickApp").value(),
            json({{"bundleId", "App.Exe"}, {"name", "App"}, {"path", chosenPath}, {"color", "#1d8fef"}}));
  EXPECT_EQ(call(withServices, "terminateApps", {json::array({"App.Exe"})}).value(), json({{"terminated", {"app.exe"}}}));
  EXPECT_EQ(asked, std::vector<std::string>{"App.Exe"});

  services.chooseApplication = [] { return std::optional<std::string>(); };
  EXPECT_EQ(call(makeTunnelModule({.ports = rig.ports, .services = services}), "pickApp").value(), json::object())
      << "a cancelled dialog";
}

TEST_F(TunnelModuleTest, KillSwitchMethodsSendWhatTheStateCallsFor) {
  {
    setSession(kStateConnected, {"udp", 1194, "1.2.3.4,5.6.7.8"});
    EXPECT_EQ(call(module, "setKillSwitchEnabled", {true}).value(), json({{"enabled", true}}));
    EXPECT_TRUE(rig.ports.killSwitch->killSwitchEnabled);
    EXPECT_EQ(takeSent(), std::vector<std::string>{"ENABLE udp 1194 1 1.2.3.4,5.6.7.8 /opt/Velmora VPN/VLVPNDesk"});
    EXPECT_EQ(call(module, "prepareKillSwitchForReconnect").value(),
              json({{"prepared", true}, {"path", "windows-wfp"}, {"mode", "dns_only"}}));
    EXPECT_EQ(takeSent(), std::vector<std::string>{"ENABLE udp 1194 1 1.2.3.4,5.6.7.8 /opt/Velmora VPN/VLVPNDesk"})
        << "the switch between servers never opens the machine";
    EXPECT_EQ(call(module, "setKillSwitchEnabled", {false}).value(), json({{"enabled", false}}));
    EXPECT_EQ(takeSent(), (std::vector<std::string>{"DISABLE", "BLOCK_IPV6"}));
    EXPECT_EQ(call(module, "setBlockIpv6Enabled", {false}).value(), json({{"enabled", false}}));
    EXPECT_EQ(takeSent(), std::vector<std::string>{"UNBLOCK_IPV6"});
    EXPECT_EQ(call(module, "setKillSwitchEnabled", {false}).value(), json({{"enabled", false}}));
    EXPECT_EQ(takeSent(), std::vector<std::string>{"DISABLE"}) << "no IPv6 block while that setting is off";
  }
  {
    setSession(kStateConnecting, {"", 0, ""});
    rig.ports.killSwitch->killSwitchEnabled = false;
    EXPECT_EQ(call(module, "setKillSwitchEnabled", {true}).value(), json({{"enabled", true}}));
    EXPECT_EQ(call(module, "setBlockIpv6Enabled", {true}).value(), json({{"enabled", true}}));
    EXPECT_EQ(takeSent(), std::vector<std::string>{"BLOCK_IPV6"}) << "the kill switch waits for the connect";
  }
  {
    setSession(kStateDisconnected, {"udp", 1194, "1.2.3.4"});
    rig.ports.killSwitch->killSwitchEnabled = false;
    EXPECT_EQ(call(module, "prepareKillSwitchForReconnect").value(),
              json({{"prepared", false}, {"reason", "kill_switch_off"}}));
    EXPECT_EQ(call(module, "setBlockIpv6Enabled", {true}).value(), json({{"enabled", true}}));
    EXPECT_EQ(call(module, "setBlockIpv6Enabled", {false}).value(), json({{"enabled", false}}));
    EXPECT_EQ(takeSent(), std::vector<std::string>{"UNBLOCK_IPV6"});
  }
}

TEST_F(TunnelModuleTest, InitializeBindsTheHooksToTheNewestInstance) {
  std::vector<std::pair<std::string, json>> first, second;
  auto recorder = [](auto& into) {
    return [&into](const std::string& event, const std::optional<json>& body) {
      into.emplace_back(event, body.value_or(json()));
    };
  };
  module.initialize(recorder(first));
  adapterChangedHook(true);
  menuActionHook(menuActionPayload("quickConnect", ""));
  menuActionHook(menuActionPayload("connectDedicated", "srv-1"));
  windowShownHook();
  windowHiddenHook();
  systemResumedHook();
  systemSleepingHook();
  EXPECT_EQ(first, (std::vector<std::pair<std::string, json>>{
                       {"tunnelAdapterChanged", {{"up", true}}},
                       {"menuBarAction", {{"action", "quickConnect"}}},
                       {"menuBarAction", {{"action", "connectDedicated"}, {"serverId", "srv-1"}}},
                       {"appWindowDidShow", nullptr},
                       {"appWindowDidHide", nullptr},
                       {"systemDidResume", nullptr},
                       {"systemWillSleep", nullptr},
                   }));

  auto reloaded = makeTunnelModule({.ports = rig.ports});
  reloaded.initialize(recorder(second));
  adapterChangedHook(false);
  systemSleepingHook();
  EXPECT_EQ(first.size(), 7u) << "the replaced instance hears nothing more";
  EXPECT_EQ(second, (std::vector<std::pair<std::string, json>>{{"tunnelAdapterChanged", {{"up", false}}},
                                                                {"systemWillSleep", nullptr}}));
  for (auto* hook : {&windowShownHook, &windowHiddenHook, &systemResumedHook, &systemSleepingHook}) hook->clear();
  adapterChangedHook.clear();
  menuActionHook.clear();
}

// The shell's methods reach the shell in the order the tray needs: the
// state first, then the redraw.
TEST(TunnelModuleShell, PassesTrayWindowAndLogOnCallsToTheShell) {
  test::TunnelRig rig;
  std::vector<std::string> calls;
  std::mutex callsMutex;
  const auto note = [&](std::string what) {
    std::lock_guard lock(callsMutex);
    calls.push_back(std::move(what));
  };
  ShellPorts shell;
  shell.ensureTray = [&] { note("ensureTray"); };
  shell.setTrayIconVisible = [&](bool visible) { note(visible ? "icon on" : "icon off"); };
  shell.updateMenuModel = [&](std::string_view model) { note("model " + std::string(model)); };
  shell.showMainWindow = [&] { note("show"); };
  shell.isMainWindowVisible = [] { return true; };
  shell.onMainWindowHidden = [&] { note("hidden"); };
  shell.applyLaunchAtLogin = [&](bool enabled) {
    note(enabled ? "log-on on" : "log-on off");
    return !enabled;
  };
  shell.readLaunchAtLogin = [] { return true; };
  shell.wasLaunchedAtStartup = [] { return true; };
  shell.watchInterfaceChanges = [&] { note(adapterChangedHook.isSet() ? "watch, hook set" : "watch, no hook"); };
  auto module = makeTunnelModule({.ports = rig.ports, .shell = shell});

  EXPECT_EQ(call(module, "setMenuBarVisible", {false}).value(), false);
  EXPECT_EQ(call(module, "updateMenuBarMenu", {R"({"connected":true})"}).value(), true);
  EXPECT_EQ(call(module, "activateApp").value(), true);
  EXPECT_EQ(call(module, "isAppWindowVisible").value(), true);
  EXPECT_EQ(call(module, "notifyVpnConnectedOnHide").value(), true);
  EXPECT_EQ(call(module, "requestNotificationPermission").value(), true);
  EXPECT_EQ(call(module, "setLaunchAtLogin", {true}).value(), false) << "what the shell says now holds";
  EXPECT_EQ(call(module, "getLaunchAtLogin").value(), true);
  EXPECT_EQ(call(module, "wasLaunchedAtStartup").value(), true);
  EXPECT_EQ(calls, (std::vector<std::string>{"icon off", "ensureTray", R"(model {"connected":true})", "ensureTray",
                                             "show", "hidden", "log-on on"}));

  // Initialize: the adapter hook before the watcher, the tray last.
  adapterChangedHook.clear();
  calls.clear();
  module.initialize([](const std::string&, const std::optional<json>&) {});
  EXPECT_EQ(calls, (std::vector<std::string>{"watch, hook set", "ensureTray"}));

  TunnelPorts failing = rig.ports;
  failing.startThread = [](std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  auto noThreads = makeTunnelModule({.ports = failing, .shell = shell});
  EXPECT_EQ(call(noThreads, "setLaunchAtLogin", {true}).error().message, host::kWorkerStartFailed);
  EXPECT_EQ(call(noThreads, "getLaunchAtLogin").error().message, host::kWorkerStartFailed);
  for (auto* hook : {&windowShownHook, &windowHiddenHook, &systemResumedHook, &systemSleepingHook}) hook->clear();
  adapterChangedHook.clear();
  menuActionHook.clear();
}

}  // namespace
}  // namespace vlvpn::tunnel
