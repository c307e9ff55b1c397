#include "desktop/tunnel/failure_classifier.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"

namespace vlvpn::tunnel {
namespace {

constexpr const char* kAuth = "Authentication failed - check your username and password.";
constexpr const char* kUnreachable = "Could not reach the VPN server. It may be offline or blocked.";
constexpr const char* kResolve = "Could not resolve the VPN server address. Check your internet connection.";
constexpr const char* kNoResponse =
    "No response from the VPN server. Check the server address, protocol (UDP/TCP) and port.";
constexpr const char* kAdapterMessage = "<the adapter message>";
constexpr const char* kTls = "Secure handshake with the VPN server failed (TLS error).";

TEST(ClassifyFailure, MapsRealOpenVpnLogLines) {
  struct Case {
    std::string log;
    std::string message;
  };
  const std::string options = "2026-12-08 10:00:00 Options error: --ca fails with 'ca.crt': No such file or directory (errno=2)";
  const Case cases[] = {
      {"2026-12-08 10:00:00 AUTH: Received control message: AUTH_FAILED\n"
       "2026-12-08 10:00:00 SIGTERM[soft,auth-failure] received, process exiting\n", kAuth},
      {"TCP: connect to [AF_INET]127.0.0.1:1194 failed: Connection refused\nRestart pause, 2 second(s)\n", kUnreachable},
      {"read UDPv4 [ECONNREFUSED]: Connection refused (fd=4,code=111)\nServer poll timeout, restarting\n", kUnreachable},
      {"RESOLVE: Cannot resolve host address: no-such-host.invalid:1194 (Temporary failure in name resolution)\n", kResolve},
      {"Could not determine IPv4/IPv6 protocol\n", kResolve},
      {"VERIFY ERROR: depth=0, error=unable to get local issuer certificate\nTLS Error: TLS handshake failed\n", kTls},
      {"All connections have been connect-retry-max (5) times unsuccessful, exiting\nExiting due to fatal error\n", kNoResponse},
      {"TLS Error: TLS key negotiation failed to occur within 60 seconds (check your network connectivity)\n", kTls},
      {options + "\r\n", "VPN configuration error: " + options},
      // The earliest matching line wins; within a line, the earlier rule.
      {"a\nb\nAUTH_FAILED\nc\nd\ne\nf\ng\nh\nConnection refused\n", kAuth},
      {"TLS Error: Connection timed out\n", kUnreachable},
      // The adapter rules need their companion words.
      {"There are no TAP-Windows adapters on this system\n", kAdapterMessage},
      {"tap-windows6 adapter is disabled\n", kAdapterMessage},
      {"opened tap-windows6 fine\nall good\n", "all good"},
      {"Wintun requires system privileges\n", kAdapterMessage},
      {"wintun driver loaded\n", "wintun driver loaded"},
      // No rule: the last error line that is not the closing one, else the last line.
      {"first\nsomething ERROR here\nExiting due to fatal error\n", "something ERROR here"},
      {"alpha\nbeta\n\n\n", "beta"},
      {"\n\r\n\n", ""},
      {"", ""},
  };
  const std::string adapter = classifyLogText("tap-windows6 is currently in use\n");
  EXPECT_TRUE(adapter.starts_with("VPN network adapter (TAP) is disabled or in use.\n\n1. Open Device Manager \xE2\x86\x92"));
  EXPECT_TRUE(adapter.ends_with("reinstall Velmora VPN to restore the TAP driver."));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    EXPECT_EQ(classifyLogText(c.log), c.message == kAdapterMessage ? adapter : c.message);
  }
}

TEST(ClassifyFailure, EachRuleDecidesALineThatOnlyItMatches) {
  const std::string adapter =
      "VPN network adapter (TAP) is disabled or in use.\n\n"
      "1. Open Device Manager \xE2\x86\x92 Network adapters\n"
      "2. Find \"TAP-Windows Adapter V9\" (or similar)\n"
      "3. Right-click \xE2\x86\x92 Enable\n"
      "4. Quit any other VPN apps, then reconnect\n\n"
      "If it is missing, reinstall Velmora VPN to restore the TAP driver.";
  struct Case {
    int rule;
    const char* line;
    std::string message;
  };
  const Case cases[] = {
      {1, "AUTH: Received control message: AUTH_FAILED", kAuth},
      {2, "Authentication Failed for user alice", kAuth},
      {3, "All TAP-Windows adapters on this system are currently in use.", adapter},
      {3, "TAP-Windows adapter is Disabled", adapter},
      {3, "There are no TAP-Windows adapters on this system.", adapter},
      {3, "CreateFile failed on TAP-Windows device", adapter},
      {3, "tap-windows: The system cannot find the file specified.", adapter},
      {4, "Wintun adapter requires System Privileges", adapter},
      {5, "RESOLVE: Cannot resolve host address: vpn.example:1194", kResolve},
      {6, "Could not determine IPv4/IPv6 protocol", kResolve},
      {7, "TCP: connect to [AF_INET]198.18.0.9:443 failed: Connection refused", kUnreachable},
      {8, "TCP: connect to [AF_INET]198.18.0.9:443 failed: Connection timed out", kUnreachable},
      {9, "write UDPv4: No route to host (fd=4,code=113)", kUnreachable},
      {10, "write UDPv4: Network is unreachable (fd=4,code=101)", kUnreachable},
      {11, "Server poll timeout, restarting", kNoResponse},
      {12, "SIGTERM received: connect-retry-max reached", kNoResponse},
      {13, "All connections have been tried 5 times unsuccessful, exiting", kNoResponse},
      {14, "TLS Error: incoming packet authentication failed", kAuth},  // rule 2 comes first
      {14, "TLS Error: local/remote TLS keys are out of sync", kTls},
      {15, "TLS handshake failed", kTls},
      {16, "TLS key negotiation failed to occur within 60 seconds", kTls},
      {17, "Options error: Unrecognized option or missing parameter(s) in home.ovpn:3: dev-typo",
       "VPN configuration error: Options error: Unrecognized option or missing parameter(s) in home.ovpn:3: dev-typo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("rule " + std::to_string(c.rule) + ": " + c.line);
    EXPECT_EQ(classifyLogText(std::string("2026-12-09 10:00:00 start\n") + c.line + "\n2026-12-09 10:00:01 end\n"),
              c.message);
  }
}

TEST(ClassifyFailure, ReadsTheLogFile) {
  test::TempDir dir;
  EXPECT_EQ(classifyFailure(dir.path() / "missing.log"), "");
  EXPECT_EQ(classifyFailure({}), "") << "an adopted tunnel has no log";
  std::ofstream(dir.path() / "openvpn.log", std::ios::binary) << "x\r\nAUTH: Received control message: AUTH_FAILED\r\n";
  EXPECT_EQ(classifyFailure(dir.path() / "openvpn.log"), kAuth);
}

}  // namespace
}  // namespace vlvpn::tunnel
