// A real VPN for end-to-end tests (Linux, root): a server namespace running
// the OpenVPN server of scripts/vpn-lab, a client namespace joined to it by a
// veth pair with a "TAP adapter" (the tun device tap-windows0), and the
// client profile a provider would hand out. Nothing leaves the namespaces.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/network_namespace.h"

namespace vlvpn::test {

inline constexpr const char* kLabServerAddress = "10.231.0.1";
inline constexpr const char* kLabServerAddress6 = "fd00:231::1";
inline constexpr const char* kLabClientAddress = "10.231.0.2";
inline constexpr const char* kLabServerTunnelAddress = "10.8.0.1";
inline constexpr const char* kLabUser = "alice";
inline constexpr const char* kLabPassword = "correct horse";

// Root, network namespaces, the tun driver and Debian's openvpn.
bool canRunVpnLab();

// What a lab's server does beyond the ordinary.
struct LabServerOptions {
  // Lines added to the server's configuration ("push \"dhcp-option DNS 10.8.0.1\"").
  std::vector<std::string> extraLines = {};
  // The server's link also has IPv6 addresses (kLabServerAddress6 and ::2 for
  // the client), and the server listens on the IPv6 one.
  bool ipv6 = false;
};

// The lab's profile with its "proto" and "remote" lines replaced by
// `connectionLines`, which go where they stood: how a provider's profile
// names its servers.
std::string withServerLines(const std::string& profile, const std::string& connectionLines);

class VpnLab {
 public:
  // `proto` is "udp" or "tcp". Check ready() afterwards.
  VpnLab(const std::filesystem::path& scratch, const std::string& proto, LabServerOptions options = {});
  ~VpnLab();

  bool ready() const { return ready_; }
  // Starts the server and waits until it serves; false when it does not.
  bool startServer();
  // Ends the server at once (SIGKILL), as a crash or a pulled plug would.
  void killServer();
  const std::string& profile() const { return profile_; }

  NetworkNamespace server{"srv"};
  NetworkNamespace client{"cli"};

 private:
  std::filesystem::path pki_;
  std::string proto_;
  std::string profile_;
  bool ready_ = false;
  std::unique_ptr<ChildProcess> serverProcess_;
};

}  // namespace vlvpn::test
