#include "desktop/shell/desktop_modules.h"

#include "desktop/auth/loopback_session.h"
#include "desktop/services/applications.h"
#include "desktop/services/build_config_module.h"
#include "desktop/services/device_info.h"
#include "desktop/shell/desktop_shell.h"

#include <thread>

#include "common/file_bytes.h"
#include "common/openvpn_arguments.h"
#include "common/path_bytes.h"
#include "common/program_path.h"
#include "desktop/killswitch/filter_keeper.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/tunnel/data_folder.h"
#include "desktop/tunnel/management_access.h"
#include "desktop/tunnel/session_controller.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "desktop/tunnel/ovpn_file_picker.h"
#include "desktop/tunnel/tunnel_module.h"
#include "desktop/tunnel/tunnel_process.h"

namespace vlvpn::shell {

std::shared_ptr<tunnel::TunnelState> processTunnelState() {
  static const auto state = std::make_shared<tunnel::TunnelState>();
  return state;
}

tunnel::TunnelPorts makeTunnelPorts() {
  tunnel::TunnelPorts ports;
  ports.tunnel = processTunnelState();
  ports.profiles = std::make_shared<tunnel::ProfileStore>(tunnel::localDataBase);
  ports.service = std::make_shared<killswitch::ServiceClient>(
      killswitch::ServicePipe::create(), killswitch::ServiceManager::create());
  killswitch::setServiceClient(ports.service);
  const auto service = ports.service;
  const auto transact = [service](std::string_view request) { return service->transact(request); };
  ports.dataFolder = [] { return tunnel::dataFolder(tunnel::localDataBase()); };
  ports.killSwitch = std::make_shared<killswitch::KillSwitchController>(transact, ports.dataFolder,
                                                                       utf8FromPath(programPath()),
                                                                       tunnel::killSwitchView(ports.tunnel));
  killswitch::startFilterKeeper(ports.killSwitch,
                                [](std::chrono::milliseconds period) { std::this_thread::sleep_for(period); });
  ports.adapters = tunnel::AdapterQuery::create();
  // Every connect answers OpenVPN's password prompt with the password of the
  // session's profile, or of the profile whose tunnel a recovery adopts.
  const auto tunnelState = ports.tunnel;
  const auto profiles = ports.profiles;
  const auto dataFolder = ports.dataFolder;
  ports.management = std::make_shared<tunnel::LoggingInManagementPort>(
      tunnel::ManagementPort::create(), [tunnelState, profiles, dataFolder]() -> std::string {
        std::string profileId;
        {
          std::lock_guard lock(tunnelState->sessionMutex);
          profileId = tunnelState->session.profileId;
        }
        if (profileId.empty()) profileId = tunnel::readActiveProfileIn(dataFolder());
        auto folder = profiles->profileFolder(profileId);
        if (!folder) return {};
        return tunnel::managementPasswordOf(readFileBytes(folder.value() / kManagementPasswordFile).value_or(""));
      });
  ports.monitor = std::make_shared<tunnel::ManagementMonitor>(tunnel::MonitorPorts{
      .tunnel = ports.tunnel,
      .killSwitch = ports.killSwitch,
      .adapters = ports.adapters,
      .tickMs = tunnel::tickMs,
  });
  ports.network = tunnel::NetworkProbe::create();
  ports.elevated = tunnel::ElevatedLauncher::create();
  ports.sampler = std::make_shared<tunnel::TrafficSampler>();
  ports.locateOpenVpn = [] { return tunnel::locateOpenVpn(); };
  ports.findOpenVpnProcess = tunnel::findOpenVpnProcess;
  ports.openProcess = tunnel::openTunnelProcess;
  ports.tickMs = tunnel::tickMs;
  ports.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
  return ports;
}

tunnel::ServicePorts makeServicePorts() {
  const auto data = tunnel::dataFolder(tunnel::localDataBase());
  tunnel::ServicePorts ports;
  ports.preferences = std::make_shared<services::PreferenceStore>(data / "prefs");
  ports.secrets = services::SecretStore::create(data / "secrets");
  ports.deviceModel = [] { return services::deviceModelFrom(services::readDeviceFacts(), services::genericPcName()); };
  ports.chooseApplication = services::chooseApplicationFile;
  ports.terminateApplications = services::terminateApplications;
  return ports;
}

std::vector<host::ModuleTable> makeDesktopModules() {
  std::vector<host::ModuleTable> modules;
  auto ports = makeTunnelPorts();
  auto shell = makeShellPorts(ports.adapters);
  modules.push_back(tunnel::makeTunnelModule({.ports = std::move(ports),
                                              .chooseProfileFile = tunnel::chooseProfileFile,
                                              .shell = std::move(shell),
                                              .services = makeServicePorts()}));
  modules.push_back(services::makeBuildConfigModule(services::currentBuildFacts()));
  modules.push_back(auth::makeAuthSessionModule());
  return modules;
}

}  // namespace vlvpn::shell
