#include "desktop/shell/desktop_modules.h"

#include "desktop/tunnel/data_folder.h"
#include "desktop/tunnel/ovpn_file_picker.h"
#include "desktop/tunnel/tunnel_module.h"

namespace vlvpn::shell {

std::vector<host::ModuleTable> makeDesktopModules() {
  tunnel::TunnelModuleDeps tunnelDeps;
  tunnelDeps.profiles = std::make_shared<tunnel::ProfileStore>(tunnel::localDataBase);
  tunnelDeps.chooseProfileFile = tunnel::chooseProfileFile;

  std::vector<host::ModuleTable> modules;
  modules.push_back(tunnel::makeTunnelModule(std::move(tunnelDeps)));
  return modules;
}

}  // namespace vlvpn::shell
