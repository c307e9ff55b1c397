// The one argument string with which OpenVPN is always started. The desktop
// program builds it; the service accepts nothing else and rebuilds it for the
// process it starts. Paths are inserted between double quotes, unescaped (no
// path of either platform contains a double quote).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

inline constexpr uint16_t kManagementPort = 11940;
inline constexpr const char* kManagementAddress = "127.0.0.1";
// The management interface's password, beside a profile's configuration.
inline constexpr const char* kManagementPasswordFile = "management.txt";

struct OpenVpnArguments {
  std::string configPath;
  std::optional<std::string> credentialsPath;  // --auth-user-pass, only when the file exists
  std::string logPath;
  // The management interface's password file: its first line is what a
  // client must give before OpenVPN tells it anything or takes a command.
  std::optional<std::string> managementPasswordPath = std::nullopt;
  friend bool operator==(const OpenVpnArguments&, const OpenVpnArguments&) = default;
};

// --config "<config>" [--auth-user-pass "<auth>"] --log "<log>" --management 127.0.0.1 11940 ["<password file>"]
// --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5 --ping 10 --ping-restart 60
// --windows-driver tap-windows6
// An empty log path leaves --log out (the service does so when it hands
// OpenVPN an opened log as its standard output); parsing never accepts that.
std::string formatOpenVpnArguments(const OpenVpnArguments& arguments);

// The exact inverse: nullopt for any other text, however small the difference.
std::optional<OpenVpnArguments> parseOpenVpnArguments(std::string_view text);

// The same arguments one by one, as a program's argument vector receives them.
std::vector<std::string> openVpnArgumentVector(const OpenVpnArguments& arguments);

}  // namespace vlvpn
