#include "desktop/tunnel/failure_classifier.h"

#include <optional>
#include <vector>

#include "common/file_bytes.h"
#include "common/text.h"

namespace vlvpn::tunnel {
namespace {

constexpr const char* kAuthFailed = "Authentication failed - check your username and password.";
constexpr const char* kAdapter =
    "VPN network adapter (TAP) is disabled or in use.\n\n"
    "1. Open Device Manager \xE2\x86\x92 Network adapters\n"
    "2. Find \"TAP-Windows Adapter V9\" (or similar)\n"
    "3. Right-click \xE2\x86\x92 Enable\n"
    "4. Quit any other VPN apps, then reconnect\n\n"
    "If it is missing, reinstall Velmora VPN to restore the TAP driver.";
constexpr const char* kCannotResolve = "Could not resolve the VPN server address. Check your internet connection.";
constexpr const char* kUnreachable = "Could not reach the VPN server. It may be offline or blocked.";
constexpr const char* kNoResponse =
    "No response from the VPN server. Check the server address, protocol (UDP/TCP) and port.";
constexpr const char* kTls = "Secure handshake with the VPN server failed (TLS error).";

bool has(std::string_view line, std::string_view pattern) { return line.find(pattern) != std::string_view::npos; }

// The rules in order; the first that matches the line gives the message.
std::optional<std::string> matchRules(const std::string& line, const std::string& lower) {
  if (has(lower, "auth_failed") || has(lower, "authentication failed")) return kAuthFailed;
  if (has(lower, "tap-windows") &&
      (has(lower, "currently in use") || has(lower, "disabled") || has(lower, "there are no") ||
       has(lower, "createfile failed") || has(lower, "cannot find the file"))) {
    return kAdapter;
  }
  if (has(lower, "wintun") && has(lower, "system privileges")) return kAdapter;
  if (has(lower, "cannot resolve host") || has(lower, "could not determine ipv4/ipv6 protocol")) return kCannotResolve;
  for (const char* pattern : {"connection refused", "connection timed out", "no route to host", "network is unreachable"}) {
    if (has(lower, pattern)) return kUnreachable;
  }
  for (const char* pattern : {"server poll timeout", "connect-retry-max", "unsuccessful, exiting"}) {
    if (has(lower, pattern)) return kNoResponse;
  }
  for (const char* pattern : {"tls error", "tls handshake failed", "tls key negotiation failed"}) {
    if (has(lower, pattern)) return kTls;
  }
  if (has(lower, "options error")) return "VPN configuration error: " + line;
  return std::nullopt;
}

}  // namespace

std::string classifyLogText(std::string_view logText) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < logText.size()) {
    size_t end = logText.find('\n', start);
    if (end == std::string_view::npos) end = logText.size();
    std::string line(trimTrailing(logText.substr(start, end - start), "\r\n"));
    if (!line.empty()) lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.empty()) return {};

  for (const auto& line : lines) {
    if (auto message = matchRules(line, asciiLower(line))) return *message;
  }
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::string lower = asciiLower(*line);
    if (has(lower, "exiting due to fatal error")) continue;
    if (has(lower, "error") || has(lower, "fatal")) return *line;
  }
  return lines.back();
}

std::string classifyFailure(const std::filesystem::path& logPath) {
  if (logPath.empty()) return {};
  const auto log = readFileBytes(logPath);
  return log ? classifyLogText(*log) : std::string();
}

}  // namespace vlvpn::tunnel
