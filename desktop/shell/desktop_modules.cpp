#include "desktop/shell/desktop_modules.h"

#include "common/path_bytes.h"
#include "common/program_path.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/tunnel/data_folder.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "desktop/tunnel/ovpn_file_picker.h"
#include "desktop/tunnel/tunnel_module.h"

namespace vlvpn::shell {

std::vector<host::ModuleTable> makeDesktopModules() {
  tunnel::TunnelModuleDeps tunnelDeps;
  tunnelDeps.profiles = std::make_shared<tunnel::ProfileStore>(tunnel::localDataBase);
  tunnelDeps.chooseProfileFile = tunnel::chooseProfileFile;
  tunnelDeps.adapters = tunnel::AdapterQuery::create();
  tunnelDeps.network = tunnel::NetworkProbe::create();
  tunnelDeps.locateOpenVpn = [] { return tunnel::locateOpenVpn(); };

  auto service = std::make_shared<killswitch::ServiceClient>(killswitch::ServicePipe::create(),
                                                             killswitch::ServiceManager::create(),
                                                             killswitch::openTunnelProcess);
  killswitch::setServiceClient(service);
  tunnelDeps.killSwitch = std::make_shared<killswitch::KillSwitchController>(
      [service](std::string_view request) { return service->transact(request); },
      [] { return tunnel::dataFolder(tunnel::localDataBase()); }, utf8FromPath(programPath()));

  std::vector<host::ModuleTable> modules;
  modules.push_back(tunnel::makeTunnelModule(std::move(tunnelDeps)));
  return modules;
}

}  // namespace vlvpn::shell
