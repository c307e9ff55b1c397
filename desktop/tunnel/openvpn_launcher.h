// Finding OpenVPN, building its one command line, rotating a profile's log,
// and starting it with administrator rights: through the kill-switch service
// when that is installed, else directly with an elevation prompt.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desktop/killswitch/service_client.h"
#include "desktop/tunnel/elevated_launcher.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

inline constexpr const char* kOpenVpnDownloads = "https://openvpn.net/community-downloads/";
inline constexpr const char* kOpenVpnHome = "https://openvpn.net/";
inline constexpr const char* kOpenVpnNotFound = "OpenVPN not found. Install OpenVPN Community from ";

// Where OpenVPN is looked for, in order: beside the program (its "openvpn"
// sub-folder first), beside its parent folder, then the system's install
// folders. A PATH search follows these (openVpnOnPath).
std::vector<std::filesystem::path> openVpnCandidates(const std::filesystem::path& programFolder);  // per platform
std::filesystem::path openVpnOnPath();                                                          // per platform

// The first candidate that exists, else the PATH search; empty when none.
// Nothing is cached.
std::filesystem::path locateOpenVpn(const std::filesystem::path& programFolder,
                                    const std::function<bool(const std::filesystem::path&)>& exists);
std::filesystem::path locateOpenVpn();  // for the running program

// The argument string; the credentials piece only when that file exists now,
// the management password file's only when one is given.
std::string buildCommandLine(const std::filesystem::path& config, const std::filesystem::path& credentials,
                             bool credentialsExist, const std::filesystem::path& log,
                             const std::optional<std::filesystem::path>& managementPassword = std::nullopt);

// Writes a file only its owner may read, replacing one that was there
// (Linux: mode 0600 from its creation on; Windows: the per-user data folder's
// own access list). False when it could not be written whole.
bool writeOwnerOnlyFile(const std::filesystem::path& file, std::string_view content);  // per platform

// "openvpn.log" becomes "openvpn.log.1" (replacing it); no current log remains.
void rotateLog(const std::filesystem::path& profileFolder);

inline constexpr const char* kServiceNotResponding =
    "Kill-switch service is not responding. Start \"VelmoraVPN Kill Switch\" in Services (or reinstall the app) and retry.";
inline constexpr const char* kLaunchFailed = "Failed to launch OpenVPN";
inline constexpr const char* kElevationDeclined = "Administrator access denied. Approve the UAC prompt to connect.";

struct LaunchResult {
  bool ok = false;
  std::shared_ptr<TunnelProcess> process;
  bool launchedViaService = false;
  std::string error;  // empty on success
};

struct LaunchRoads {
  killswitch::ServiceClient& service;
  ElevatedLauncher& elevated;
  std::function<void(std::chrono::milliseconds)> sleep;
  // Opens the process the service started; null when it cannot be opened.
  std::function<std::shared_ptr<TunnelProcess>(uint32_t pid)> openProcess;
};

// The service road while the service is installed (starting it when it does
// not answer, never falling back to the prompt); else the elevated start.
// An argument string that does not read back as the program's own is never
// started.
LaunchResult launchOpenVpn(const LaunchRoads& roads, const std::filesystem::path& exe, const std::string& args);

}  // namespace vlvpn::tunnel
