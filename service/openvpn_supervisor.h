// The one OpenVPN process the service starts for the desktop program: started
// on request after the start policy agrees, reported on, and ended on request,
// before another start and when the service stops. It is not watched between
// requests.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/dispatcher.h"
#include "service/service_log.h"
#include "service/supervised_process.h"

namespace vlvpn::service {

inline constexpr std::chrono::milliseconds kTerminateWait{5000};

struct SupervisorSettings {
  std::vector<std::filesystem::path> allowedFolders;  // allowedOpenVpnFolders()
  // The service's data files by name ("openvpn-stderr.log", the checked
  // configuration copy); empty when there is no data folder.
  std::function<std::filesystem::path(std::string_view fileName)> dataPath;
};

class OpenVpnSupervisor {
 public:
  OpenVpnSupervisor(std::unique_ptr<ProcessLauncher> launcher, ServiceLog& log, SupervisorSettings settings);

  // The OPENVPN_START reply: "OK <pid>", "ERR empty_exe", "ERR exe_not_found",
  // "ERR exe_not_allowed", "ERR args_not_allowed", "ERR config_not_allowed",
  // or "ERR <code>". Refusals leave a running child alone; a start ends it.
  // The profile's files are read as `requester` (where known), and OpenVPN
  // gets private copies of the configuration and the credentials and the
  // log opened for that user. prepare() then launch().
  std::string start(const std::string& exe, const std::string& args, const Requester& requester = {});

  // The first step, which touches no child and may run beside any command:
  // every check, the executable held and the user's files read. The reply
  // when refused.
  StartPreparation prepare(const std::string& exe, const std::string& args, const Requester& requester);
  // The second, under the command lock: the old child ended, the private
  // copies written, the new one started.
  std::string launch(std::unique_ptr<PreparedStart> prepared);
  // Ends the child, if any, and forgets it.
  void stop();
  // "OK RUNNING <pid>" or "OK STOPPED"; a child found ended is forgotten.
  std::string status();

 private:
  std::string refuse(const char* reply, const std::string& why);
  void forgetChild();
  // Writes a private copy for OpenVPN; the reply when that failed (logged).
  std::optional<std::string> writeCopy(const std::filesystem::path& path, const std::string& content);

  std::unique_ptr<ProcessLauncher> launcher_;
  ServiceLog& log_;
  SupervisorSettings settings_;
  std::unique_ptr<SupervisedProcess> child_;
};

}  // namespace vlvpn::service
