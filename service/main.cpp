// VLVPNKillSwitch: the privileged service behind the desktop program.
#include <cstring>
#include <memory>
#include <string>

#include "common/program_path.h"
#include "common/text.h"
#include "service/connection.h"
#include "service/filter_engine.h"
#include "service/openvpn_start_policy.h"
#include "service/openvpn_supervisor.h"
#include "service/pipe_server.h"
#include "service/service_commands.h"
#include "service/service_host.h"

namespace vlvpn::service {
namespace {

// Everything the service runs on. Connection threads still serving a client
// at shutdown are not waited for, so they share ownership of it.
struct Runtime {
  explicit Runtime(StopSignal& stop)
      : log(serviceDataPath("killswitch.log")),
        openVpnFolders(allowedOpenVpnFolders(programPath().parent_path())),
        engine(FilterEngine::create(openVpnExecutables(openVpnFolders))),
        supervisor(ProcessLauncher::create(), log, {openVpnFolders, serviceDataPath}),
        commands(*engine, supervisor),
        dispatcher(commands),
        server{dispatcher, log, stop} {}

  ServiceLog log;
  std::vector<std::filesystem::path> openVpnFolders;
  std::unique_ptr<FilterEngine> engine;
  OpenVpnSupervisor supervisor;
  KillSwitchCommands commands;
  Dispatcher dispatcher;
  ServerContext server;
};

int runService(StopSignal& stop) {
  auto runtime = std::make_shared<Runtime>(stop);
  return runPipeServer(std::shared_ptr<ServerContext>(runtime, &runtime->server)) ? 0 : 1;
}

bool isArgument(const char* argument, const char* verb) { return asciiLower(argument) == verb; }

}  // namespace
}  // namespace vlvpn::service

int main(int argc, char** argv) {
  using namespace vlvpn::service;
  if (argc >= 2 && isArgument(argv[1], "console")) return runConsole(runService);
  // Run by the installer once the service is registered.
  if (argc >= 2 && isArgument(argv[1], "configure")) return configureInstalledService();
  return runAsService(runService);
}
