// The one tunnel the program runs at a time: connectOvpn's worker and
// disconnect's, the service commands around them, and "active.txt", which
// remembers whose tunnel runs so a later run can adopt it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "desktop/tunnel/tunnel_ports.h"

namespace vlvpn::tunnel {

inline constexpr const char* kNoTapAdapter =
    "No TAP-Windows network adapter is installed, and it could not be set up automatically. Install the TAP-Windows "
    "driver and retry.";
inline constexpr const char* kConfigNotFound = "VPN config not found for profile: ";
inline constexpr const char* kCouldNotWriteAuth = "Could not write auth.txt";
inline constexpr const char* kCouldNotWritePassword = "Could not write management.txt";
inline constexpr const char* kExitedBeforeConnecting =
    "OpenVPN exited before connecting. Check the config file or credentials.";
inline constexpr const char* kNoManagementConnection =
    "Could not connect to OpenVPN management interface. The VPN may have failed to start.";
inline constexpr const char* kCouldNotWatch = "Could not start watching the OpenVPN connection";

// The waits and counts of a connect and a disconnect.
inline constexpr int kPortPolls = 150;
inline constexpr std::chrono::milliseconds kPortPollInterval{100};
inline constexpr int kStrayOpenVpnPolls = 30;
inline constexpr int kDisconnectPolls = 20;
inline constexpr std::chrono::milliseconds kShortPoll{50};
inline constexpr std::chrono::milliseconds kPreviousExitWait{2000};
inline constexpr std::chrono::milliseconds kDisconnectExitWait{3000};
inline constexpr int kResolveAttempts = 5;
inline constexpr std::chrono::milliseconds kResolveRetry{800};

struct ConnectRequest {
  std::string profileId;
  std::string configFileName;
  std::string username;  // empty: keep the profile's "auth.txt" as it is
  std::string password;
  uint64_t generation = 0;  // connectGeneration as this call left it
};

struct RemoteConfig {
  std::string host;
  int32_t port = 0;   // 0 when absent or not a number
  std::string proto;  // empty when absent
  friend bool operator==(const RemoteConfig&, const RemoteConfig&) = default;
};

// The server of a profile's last "remote <host> [port] [proto]" line: its
// port, else the last "port" or "rport" line's; its transport, else the
// last "proto" line's, spelt "udp" or "tcp" for any of OpenVPN's spellings.
RemoteConfig parseRemoteConfig(std::string_view text);
RemoteConfig readRemoteFromConfig(const std::filesystem::path& config);  // empty when unreadable

// The configuration a connect uses: `fileName` in the folder when it names a
// file there, else the first ".ovpn" file the listing gives; nullopt when
// neither exists. A name that would leave the folder counts as absent.
std::optional<std::filesystem::path> findConfig(const std::filesystem::path& profileFolder, std::string_view fileName);

// The work of connectOvpn's worker: {"state": "connecting"} once OpenVPN's
// management port answered and the monitor watches it; with "superseded"
// when a newer connect began; else the sentence that says why not.
Result<nlohmann::json> runConnect(const TunnelPorts& ports, const ConnectRequest& request);

// The work of disconnect's worker: stops OpenVPN, forgets the session and
// leaves the firewall as the kill-switch setting says. Never fails.
nlohmann::json runDisconnect(const TunnelPorts& ports);

// "active.txt" in the data folder: the profile identifier, raw bytes. Reading
// drops trailing CR, LF and spaces; a missing file reads as "". Write and
// removal errors are ignored.
void writeActiveProfile(const TunnelPorts& ports, std::string_view profileId);
std::string readActiveProfile(const TunnelPorts& ports);
std::string readActiveProfileIn(const std::filesystem::path& dataFolder);
void removeActiveProfile(const TunnelPorts& ports);

}  // namespace vlvpn::tunnel
