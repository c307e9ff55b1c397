#include "desktop/tunnel/tunnel_module.h"

#include "desktop/tunnel/event_hooks.h"
#include "desktop/services/applications.h"
#include "common/path_bytes.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "desktop/tunnel/ovpn_file_picker.h"
#include "desktop/tunnel/probes.h"
#include "desktop/tunnel/session_controller.h"
#include "desktop/tunnel/tunnel_status.h"

namespace vlvpn::tunnel {
namespace {

using host::ArgType;
using host::Args;
using host::Method;
using host::Promise;
using nlohmann::json;

constexpr ArgType S = ArgType::String;
constexpr ArgType I = ArgType::Int;
constexpr ArgType B = ArgType::Bool;
constexpr ArgType L = ArgType::StringList;

// Settles with null on success, with the error's text otherwise.
void settleVoid(const Promise& promise, const Result<void>& outcome) {
  if (outcome) {
    promise.resolve();
  } else {
    promise.reject(outcome.error().message);
  }
}

json pickedFileJson(const PickedFile& picked) {
  return {{"fileName", picked.fileName}, {"content", picked.content}, {"sourceDirectory", picked.sourceDirectory}};
}

// The hooks but adapterChangedHook, which Initialize binds first.
void bindEventHooks(const host::EventEmitter& emit) {
  // Each hook is emptied and refilled, so events reach the newest instance only.
  menuActionHook.set([emit](const json& payload) { emit("menuBarAction", payload); });
  windowShownHook.set([emit] { emit("appWindowDidShow", std::nullopt); });
  windowHiddenHook.set([emit] { emit("appWindowDidHide", std::nullopt); });
  systemResumedHook.set([emit] { emit("systemDidResume", std::nullopt); });
  systemSleepingHook.set([emit] { emit("systemWillSleep", std::nullopt); });
}

}  // namespace

host::ModuleTable makeTunnelModule(TunnelModuleDeps deps) {
  // Every method holds its own copy of the ports, and so does every worker.
  const TunnelPorts ports = deps.ports;
  const auto profiles = ports.profiles;
  auto chooseFile = deps.chooseProfileFile;
  const auto startThread = ports.startThread;
  const auto killSwitch = ports.killSwitch;
  const auto adapters = ports.adapters;
  const auto network = ports.network;
  const auto locate = ports.locateOpenVpn;
  const ShellPorts shell = deps.shell;
  const ServicePorts services = deps.services;
  const auto preferences = services.preferences;
  const auto secrets = services.secrets;
  // For methods that never reject: `fallback` when no worker can be started.
  const auto onWorker = [startThread](Promise promise, std::function<json()> work, json fallback) {
    host::resolveOnWorker(std::move(promise), std::move(work), std::move(fallback), startThread);
  };

  // A kill-switch setting: stored on the calling thread, sent to the service
  // on a worker; resolves {"enabled"} either way.
  using Controller = killswitch::KillSwitchController;
  const auto setting = [killSwitch, onWorker](const char* name, std::atomic<bool> Controller::*flag,
                                              void (Controller::*send)(bool)) {
    return Method{name, {B}, [=](const Args& a, Promise promise) {
                    const bool enabled = a.boolean(0);
                    (*killSwitch).*flag = enabled;
                    const json result{{"enabled", enabled}};
                    onWorker(
                        std::move(promise),
                        [=] {
                          ((*killSwitch).*send)(enabled);
                          return result;
                        },
                        result);
                  }};
  };

  host::ModuleTable module;
  module.name = kTunnelModuleName;
  module.events = {"menuBarAction",   "appWindowDidShow", "appWindowDidHide",
                   "systemDidResume", "systemWillSleep",  "tunnelAdapterChanged"};
  module.methods = {
      {"pingHelper", {},
       [locate](const Args&, Promise promise) {
         if (locate().empty()) {
           return promise.reject(std::string(kOpenVpnNotFound) + kOpenVpnHome);
         }
         promise.resolve("pong");
       }},
      {"installHelper", {},
       [locate](const Args&, Promise promise) {
         const auto found = locate();
         const bool installed = !found.empty();
         promise.resolve({{"installed", installed},
                          {"reachable", installed},
                          {"pong", installed ? "pong" : ""},
                          {"hint", installed ? bytesFromPath(found)
                                             : std::string("OpenVPN not found. Install from ") + kOpenVpnDownloads}});
       }},
      {"saveOvpnProfile", {S, S, S, S},
       [profiles](const Args& a, Promise promise) {
         // The fourth argument is accepted for the interface's sake and not used.
         auto saved = profiles->saveConfig(a.string(0), a.string(1), a.string(2));
         if (!saved) return promise.reject(saved.error().message);
         promise.resolve({{"configPath", saved.value().configPath}, {"fileName", saved.value().fileName}});
       }},
      {"saveOvpnProfileMeta", {S, S},
       [profiles](const Args& a, Promise promise) { settleVoid(promise, profiles->saveMeta(a.string(0), a.string(1))); }},
      {"listSavedOvpnProfiles", {},
       [profiles](const Args&, Promise promise) {
         json list = json::array();
         for (auto& text : profiles->listMetadata()) list.push_back({{"_raw", std::move(text)}});
         promise.resolve(std::move(list));
       }},
      {"deleteOvpnProfile", {S},
       [profiles](const Args& a, Promise promise) { settleVoid(promise, profiles->remove(a.string(0))); }},
      {"saveOvpnAuth", {S, S, S},
       [profiles](const Args& a, Promise promise) {
         settleVoid(promise, profiles->saveCredentials(a.string(0), {a.string(1), a.string(2)}));
       }},
      {"readOvpnAuth", {S},
       [profiles](const Args& a, Promise promise) {
         auto credentials = profiles->readCredentials(a.string(0));
         if (!credentials) return promise.reject(credentials.error().message);
         promise.resolve({{"username", credentials.value().username}, {"password", credentials.value().password}});
       }},
      {"connectOvpn", {S, S, S, S},
       [ports](const Args& a, Promise promise) {
         ConnectRequest request{a.string(0), a.string(1), a.string(2), a.string(3), ++ports.tunnel->connectGeneration};
         host::runOnWorker(
             std::move(promise),
             [ports, request](const Promise& p) {
               auto outcome = runConnect(ports, request);
               if (outcome) return p.resolve(std::move(outcome).value());
               p.reject(outcome.error().message);
             },
             ports.startThread);
       }},
      {"disconnect", {},
       [ports](const Args&, Promise promise) {
         host::runOnWorker(
             std::move(promise), [ports](const Promise& p) { p.resolve(runDisconnect(ports)); }, ports.startThread);
       }},
      {"getStatus", {}, [ports](const Args&, Promise promise) { promise.resolve(getStatus(ports)); }},
      {"getHelperInfo", {}, [ports](const Args&, Promise promise) { promise.resolve(getHelperInfo(ports)); }},
      {"pingThroughTunnel", {S, I},
       [adapters, network, onWorker](const Args& a, Promise promise) {
         const std::string host = a.string(0).empty() ? kDefaultPingHost : a.string(0);
         const int32_t timeoutMs = a.integer(1) < 1 ? kDefaultPingTimeoutMs : a.integer(1);
         onWorker(
             std::move(promise), [=] { return pingThroughTunnel(*adapters, *network, host, timeoutMs); },
             {{"ok", false}, {"reason", "worker_unavailable"}});
       }},
      {"measureTcpLatency", {S, I},
       [network, onWorker](const Args& a, Promise promise) {
         const std::string host = a.string(0);
         const int32_t port = a.integer(1) < 1 || a.integer(1) > 65535 ? kDefaultProbePort : a.integer(1);
         onWorker(std::move(promise), [=] { return json(measureTcpLatency(*network, host, port)); }, 0);
       }},
      {"getTrafficStats", {},
       [ports](const Args&, Promise promise) {
         TrafficRates rates;
         if (ports.tunnel->currentState() == kStateConnected) {
           rates = sampleTrafficRates(*ports.adapters, *ports.sampler, ports.tickMs);
         } else {
           ports.sampler->reset();
         }
         promise.resolve({{"downBps", wholeBytesPerSecond(rates.downBps)}, {"upBps", wholeBytesPerSecond(rates.upBps)}});
       }},
      {"getDeviceMarketingName", {},
       [services](const Args&, Promise promise) { promise.resolve(services.deviceModel()); }},
      {"promptVpnAuth", {S, S},
       [](const Args&, Promise promise) { promise.reject("Interactive auth prompt not available on Windows"); }},
      setting("setKillSwitchEnabled", &Controller::killSwitchEnabled, &Controller::onKillSwitchSetting),
      {"prepareKillSwitchForReconnect", {},
       [killSwitch, onWorker](const Args&, Promise promise) {
         if (!killSwitch->killSwitchEnabled) return promise.resolve({{"prepared", false}, {"reason", "kill_switch_off"}});
         onWorker(
             std::move(promise),
             [killSwitch] {
               killSwitch->prepareForReconnect();
               return json{{"prepared", true}, {"path", "windows-wfp"}, {"mode", "dns_only"}};
             },
             {{"prepared", false}, {"reason", "worker_unavailable"}});
       }},
      setting("setBlockIpv6Enabled", &Controller::blockIpv6Enabled, &Controller::onBlockIpv6Setting),
      // The dialog waits for the user, so it runs on a thread of its own.
      {"pickApp", {},
       [services, onWorker](const Args&, Promise promise) {
         onWorker(
             std::move(promise),
             [services]() -> json {
               const auto chosen = services.chooseApplication();
               if (!chosen) return json::object();
               return services::applicationEntry(*chosen, services::nativePathSeparators());
             },
             json::object());
       }},
      {"pickOvpnFile", {},
       [chooseFile, startThread](const Args&, Promise promise) {
         host::runOnWorker(
             std::move(promise),
             [chooseFile](const Promise& p) {
               const auto chosen = chooseFile();
               p.resolve(chosen ? pickedFileJson(readPickedFile(*chosen)) : json::object());
             },
             startThread);
       }},
      {"terminateApps", {L},
       [services](const Args& a, Promise promise) {
         promise.resolve({{"terminated", services.terminateApplications(a.strings(0))}});
       }},
      {"setMenuBarVisible", {B},
       [shell](const Args& a, Promise promise) {
         shell.setTrayIconVisible(a.boolean(0));
         shell.ensureTray();
         promise.resolve(a.boolean(0));
       }},
      {"updateMenuBarMenu", {S},
       [shell](const Args& a, Promise promise) {
         shell.updateMenuModel(a.string(0));
         shell.ensureTray();
         promise.resolve(true);
       }},
      {"activateApp", {},
       [shell](const Args&, Promise promise) {
         shell.showMainWindow();
         promise.resolve(true);
       }},
      {"isAppWindowVisible", {}, [shell](const Args&, Promise promise) { promise.resolve(shell.isMainWindowVisible()); }},
      {"notifyVpnConnectedOnHide", {},
       [shell](const Args&, Promise promise) {
         shell.onMainWindowHidden();
         promise.resolve(true);
       }},
      {"requestNotificationPermission", {}, [](const Args&, Promise promise) { promise.resolve(true); }},
      // The system may take its time with a startup task, so each call
      // waits on a thread of its own.
      {"setLaunchAtLogin", {B},
       [shell, startThread](const Args& a, Promise promise) {
         const bool enabled = a.boolean(0);
         host::runOnWorker(
             std::move(promise), [shell, enabled](const Promise& p) { p.resolve(shell.applyLaunchAtLogin(enabled)); },
             startThread);
       }},
      {"getLaunchAtLogin", {},
       [shell, startThread](const Args&, Promise promise) {
         host::runOnWorker(
             std::move(promise), [shell](const Promise& p) { p.resolve(shell.readLaunchAtLogin()); }, startThread);
       }},
      {"wasLaunchedAtStartup", {},
       [shell](const Args&, Promise promise) { promise.resolve(shell.wasLaunchedAtStartup()); }},
      {"writeUserDefaults", {S, S},
       [preferences](const Args& a, Promise promise) { settleVoid(promise, preferences->write(a.string(0), a.string(1))); }},
      {"readUserDefaults", {S},
       [preferences](const Args& a, Promise promise) {
         auto value = preferences->read(a.string(0));
         if (!value) return promise.reject(value.error().message);
         promise.resolve(std::move(value).value());
       }},
      {"writeKeychainItem", {S, S, S},
       [secrets](const Args& a, Promise promise) {
         settleVoid(promise, secrets->write(services::keychainTarget(a.string(0), a.string(1)), a.string(2)));
       }},
      {"readKeychainItem", {S, S},
       [secrets](const Args& a, Promise promise) {
         promise.resolve(secrets->read(services::keychainTarget(a.string(0), a.string(1))));
       }},
      {"deleteKeychainItem", {S, S},
       [secrets](const Args& a, Promise promise) {
         secrets->remove(services::keychainTarget(a.string(0), a.string(1)));
         promise.resolve();
       }},
  };
  module.initialize = [shell](host::EventEmitter emit) {
    // The watcher's first event needs its hook; the tray's first icon
    // comes once every hook is bound.
    adapterChangedHook.set([emit](bool up) { emit("tunnelAdapterChanged", json{{"up", up}}); });
    shell.watchInterfaceChanges();
    bindEventHooks(emit);
    shell.ensureTray();
  };
  return module;
}

}  // namespace vlvpn::tunnel
