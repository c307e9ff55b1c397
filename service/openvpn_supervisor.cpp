#include "service/openvpn_supervisor.h"

#include <system_error>

#include "common/path_bytes.h"
#include "service/config_allow_list.h"
#include "service/openvpn_start_policy.h"
#include "service/request_text.h"
#include "service/user_files.h"

namespace vlvpn::service {
namespace {

constexpr const char* kPrivateConfigName = "openvpn-config.ovpn";
constexpr const char* kOutputLogName = "openvpn-stderr.log";
constexpr const char* kPrivateCredentialsName = "openvpn-auth.txt";
constexpr const char* kPrivatePasswordName = "openvpn-management.txt";

}  // namespace

OpenVpnSupervisor::OpenVpnSupervisor(std::unique_ptr<ProcessLauncher> launcher, ServiceLog& log,
                                     SupervisorSettings settings)
    : launcher_(std::move(launcher)), log_(log), settings_(std::move(settings)) {}

std::string OpenVpnSupervisor::refuse(const char* reply, const std::string& why) {
  log_.write(std::string(reply + 4) + ": " + escapeControlBytes(why));
  return reply;
}

namespace {

struct CheckedStart final : PreparedStart {
  std::string exe;
  OpenedFile executable;
  OpenVpnArguments arguments;
  UserProfileFiles files;
  std::filesystem::path privateConfig;
};

}  // namespace

std::string OpenVpnSupervisor::start(const std::string& exe, const std::string& args, const Requester& requester) {
  auto prepared = prepare(exe, args, requester);
  if (auto* refused = std::get_if<std::string>(&prepared)) return *refused;
  return launch(std::get<std::unique_ptr<PreparedStart>>(std::move(prepared)));
}

StartPreparation OpenVpnSupervisor::prepare(const std::string& exe, const std::string& args, const Requester& requester) {
  if (exe.empty()) return std::string("ERR empty_exe");
  // What can be decided from the words alone comes first: no path a user
  // names is looked at with the service's rights before it passed.
  if (!isInAllowedFolder(exe, settings_.allowedFolders)) return refuse("ERR exe_not_allowed", exe);
  auto arguments = checkProfileArguments(args, nativePathStyle());
  if (!arguments) return refuse("ERR args_not_allowed", args);
  // Files are read as the client; one whose identity is unknown would have
  // them read, and its log written, with the service's rights.
  if (const auto& unknown = requester.unknownIdentity) {
    return refuse("ERR config_not_allowed", "the client's identity cannot be established (" + unknown->api + " " +
                                                std::to_string(unknown->code) + ")");
  }

  std::error_code error;
  if (!std::filesystem::exists(pathFromUtf8(exe), error)) return refuse("ERR exe_not_found", exe);
  // Held from here to the start, so a name swapped after the checks
  // cannot make the service start something else.
  auto executable = holdExecutable(exe);
  if (!executable || !isAllowedOpenVpn(exe, settings_.allowedFolders) || !isHeldFileAt(executable.value(), exe)) {
    return refuse("ERR exe_not_allowed", exe);
  }
  const auto profileFolder = pathFromUtf8(arguments->configPath).parent_path();
  if (!isFreeOfLinks(profileFolder) || !isAbsentOrPlainFile(pathFromUtf8(arguments->logPath)) ||
      (arguments->credentialsPath && !isAbsentOrPlainFile(pathFromUtf8(*arguments->credentialsPath))) ||
      (arguments->managementPasswordPath && !isAbsentOrPlainFile(pathFromUtf8(*arguments->managementPasswordPath)))) {
    return refuse("ERR args_not_allowed", args);
  }

  // OpenVPN reads copies checked here, never the user's files, which could
  // change between the check and the start; and the user's files are read
  // as the user, so nothing the user could not read reaches their server.
  auto files = openUserProfileFiles(requester, *arguments);
  if (!files) {
    const std::string why = arguments->configPath + " cannot be read (" + files.error().api + " " +
                            std::to_string(files.error().code) + ")";
    // A reader that did not finish in time was ended: say so in the reply.
    if (files.error().code == kUserFilesTimedOut) {
      log_.write("config_not_allowed: " + escapeControlBytes(why));
      return "ERR " + std::to_string(kUserFilesTimedOut);
    }
    return refuse("ERR config_not_allowed", why);
  }
  if (auto directive = refusedDirective(files.value().config)) {
    return refuse("ERR config_not_allowed", arguments->configPath + ": " + *directive);
  }
  const auto privateConfig = settings_.dataPath(kPrivateConfigName);
  if (privateConfig.empty()) return refuse("ERR config_not_allowed", "no service data folder for the checked copy");

  auto checked = std::make_unique<CheckedStart>();
  checked->exe = exe;
  checked->executable = std::move(executable).value();
  checked->arguments = std::move(*arguments);
  checked->files = std::move(files).value();
  checked->privateConfig = privateConfig;
  return checked;
}

std::string OpenVpnSupervisor::launch(std::unique_ptr<PreparedStart> prepared) {
  auto& checked = static_cast<CheckedStart&>(*prepared);
  const std::string& exe = checked.exe;
  auto& files = checked.files;
  const auto& privateConfig = checked.privateConfig;
  // The previous OpenVPN goes before the copies are written: its end takes
  // its credentials copy with it, which must not be the new one.
  stop();
  if (auto failed = writeCopy(privateConfig, files.config)) return *failed;
  const auto privateCredentials = settings_.dataPath(kPrivateCredentialsName);
  if (files.credentials) {
    if (auto failed = writeCopy(privateCredentials, *files.credentials)) return *failed;
  }
  const auto privatePassword = settings_.dataPath(kPrivatePasswordName);
  if (files.managementPassword) {
    if (auto failed = writeCopy(privatePassword, *files.managementPassword)) return *failed;
  }

  OpenVpnArguments launched = checked.arguments;
  launched.configPath = utf8FromPath(privateConfig);
  if (files.credentials) launched.credentialsPath = utf8FromPath(privateCredentials);
  if (files.managementPassword) launched.managementPasswordPath = utf8FromPath(privatePassword);
  // OpenVPN writes the log the service opened for the user: through the
  // name childLogPath() gives it, or as its standard output where there is
  // no such name.
  if (files.log) launched.logPath = childLogPath();
  LaunchSpec spec;
  spec.exe = exe;
  spec.exeFile = checked.executable.native();
  spec.argumentString = formatOpenVpnArguments(launched);
  spec.argumentVector = openVpnArgumentVector(launched);
  for (const auto& word : serviceOpenVpnArguments()) {
    spec.argumentString += " " + word;
    spec.argumentVector.push_back(word);
  }
  spec.outputFile = settings_.dataPath(kOutputLogName);
  spec.logFile = files.log.native();
  if (!spec.outputFile.empty()) rotateIfLarger(spec.outputFile);

  auto started = launcher_->launch(spec);
  if (!started) {
    const uint32_t code = started.error().code;
    log_.write("CreateProcess failed (" + std::to_string(code) + ") for cmd: \"" + escapeControlBytes(exe) + "\" " +
               escapeControlBytes(spec.argumentString));
    return "ERR " + std::to_string(code);
  }
  child_ = std::move(started).value();
  return "OK " + std::to_string(child_->pid());
}

void OpenVpnSupervisor::stop() {
  if (!child_) return;
  if (child_->isRunning().value_or(false)) child_->terminate(kTerminateWait);
  forgetChild();
}

std::optional<std::string> OpenVpnSupervisor::writeCopy(const std::filesystem::path& path, const std::string& content) {
  auto written = writePrivateFile(path, content);
  if (written) return std::nullopt;
  log_.write(written.error().api + " failed (" + std::to_string(written.error().code) + ") for " + utf8FromPath(path));
  return "ERR " + std::to_string(written.error().code);
}

void OpenVpnSupervisor::forgetChild() {
  child_.reset();
  // The user's secrets live no longer than the OpenVPN that needs them.
  for (const char* name : {kPrivateCredentialsName, kPrivatePasswordName}) {
    const auto secret = settings_.dataPath(name);
    std::error_code ignored;
    if (!secret.empty()) std::filesystem::remove(secret, ignored);
  }
}

std::string OpenVpnSupervisor::status() {
  if (!child_) return "OK STOPPED";
  const auto running = child_->isRunning();
  if (!running) return "OK STOPPED";  // the query failed: keep the child
  if (*running) return "OK RUNNING " + std::to_string(child_->pid());
  forgetChild();
  return "OK STOPPED";
}

}  // namespace vlvpn::service
