#include "desktop/tunnel/openvpn_launcher.h"

#include <system_error>

#include "common/openvpn_arguments.h"
#include "common/path_bytes.h"
#include "common/program_path.h"

namespace vlvpn::tunnel {
namespace {

constexpr std::chrono::milliseconds kPingRetry{200};

// PING, then up to `retries` more every 200 ms while an installed service is silent.
bool pingService(const LaunchRoads& roads, bool installed, int retries) {
  if (killswitch::serviceAnswersPing(roads.service.transact("PING"))) return true;
  for (int attempt = 0; installed && attempt < retries; ++attempt) {
    roads.sleep(kPingRetry);
    if (killswitch::serviceAnswersPing(roads.service.transact("PING"))) return true;
  }
  return false;
}

}  // namespace

std::filesystem::path locateOpenVpn(const std::filesystem::path& programFolder,
                                    const std::function<bool(const std::filesystem::path&)>& exists) {
  for (const auto& candidate : openVpnCandidates(programFolder)) {
    if (exists(candidate)) return candidate;
  }
  return openVpnOnPath();
}

std::filesystem::path locateOpenVpn() {
  return locateOpenVpn(programPath().parent_path(), [](const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
  });
}

std::string buildCommandLine(const std::filesystem::path& config, const std::filesystem::path& credentials,
                             bool credentialsExist, const std::filesystem::path& log,
                             const std::optional<std::filesystem::path>& managementPassword) {
  OpenVpnArguments arguments;
  arguments.configPath = utf8FromPath(config);
  if (credentialsExist) arguments.credentialsPath = utf8FromPath(credentials);
  arguments.logPath = utf8FromPath(log);
  if (managementPassword) arguments.managementPasswordPath = utf8FromPath(*managementPassword);
  return formatOpenVpnArguments(arguments);
}

void rotateLog(const std::filesystem::path& profileFolder) {
  std::error_code ignored;
  const auto log = profileFolder / "openvpn.log";
  std::filesystem::rename(log, profileFolder / "openvpn.log.1", ignored);
  std::filesystem::remove(log, ignored);
}

LaunchResult launchOpenVpn(const LaunchRoads& roads, const std::filesystem::path& exe, const std::string& args) {
  LaunchResult result;
  const bool installed = roads.service.isServiceInstalled();
  bool answered = pingService(roads, installed, 10);
  if (!answered && installed && roads.service.startKillSwitchService()) answered = pingService(roads, installed, 15);

  if (answered) {
    auto started = roads.service.startOpenVpnViaService(utf8FromPath(exe), args);
    switch (started.kind) {
      case killswitch::StartOutcome::Kind::Started:
        result.ok = true;
        result.launchedViaService = true;
        if (started.pid != 0 && roads.openProcess) result.process = roads.openProcess(started.pid);
        return result;
      case killswitch::StartOutcome::Kind::Refused:
        result.error = started.error;
        return result;
      case killswitch::StartOutcome::Kind::NoAnswer:
        break;
    }
  }
  if (installed) {
    result.error = kServiceNotResponding;
    return result;
  }

  const auto arguments = parseOpenVpnArguments(args);
  if (!arguments) {
    result.error = kLaunchFailed;
    return result;
  }
  auto launch = roads.elevated.start(exe, args, openVpnArgumentVector(*arguments));
  if (launch.error == 0) {
    result.ok = true;
    result.process = std::move(launch.process);
  } else if (launch.error == kErrorCancelled) {
    result.error = kElevationDeclined;
  } else {
    result.error = "Failed to launch OpenVPN (error " + std::to_string(launch.error) + ")";
  }
  return result;
}

}  // namespace vlvpn::tunnel
