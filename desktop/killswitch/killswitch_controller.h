// The user's two firewall settings, turned into service requests together
// with the server endpoint of the tunnel, and that endpoint kept in
// "killswitch.txt" so a later run can fence a tunnel that still runs.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "desktop/killswitch/server_endpoint.h"

namespace vlvpn::killswitch {

// "ENABLE <proto|any> <port> <1|0> <addresses|none> <program>", or "" when
// DNS is to be allowed but no server address is known (nothing to send).
std::string enableRequest(const ServerEndpoint& endpoint, bool allowDns, const std::string& programPath);

// "killswitch.txt": proto LF port LF addresses, no LF at the end.
std::string formatEndpointFile(const ServerEndpoint& endpoint);
// CR LF reads as LF; a damaged port reads as 0; missing lines are empty.
ServerEndpoint parseEndpointFile(std::string_view text);

// What the controller asks of the tunnel when a setting changes.
struct TunnelView {
  std::function<std::string()> state;        // "connecting", "connected" or "disconnected"
  std::function<ServerEndpoint()> endpoint;  // the server of the current session
};

class KillSwitchController {
 public:
  using Transact = std::function<std::string(std::string_view request)>;

  // `dataFolder` is asked afresh on every use; `programPath` is the desktop
  // program, which the kill switch lets through; `tunnel` gives the endpoint
  // and the connection state.
  KillSwitchController(Transact transact, std::function<std::filesystem::path()> dataFolder, std::string programPath,
                       TunnelView tunnel);

  // The user's settings, written only by the module's setters; neither is persisted.
  std::atomic<bool> killSwitchEnabled{false};
  std::atomic<bool> blockIpv6Enabled{true};

  // Sends one ENABLE request for the session's endpoint; the reply is not looked at.
  void applyKillSwitch(bool allowDns);

  // Written whole, creating the data folder first; a file that cannot be
  // written is silently skipped.
  void saveServerEndpoint(const ServerEndpoint& endpoint);
  // Empty values when the file is missing or unreadable.
  ServerEndpoint loadServerEndpoint();
  // Errors are ignored.
  void removeServerEndpoint();

  // The work of the module methods, on their worker threads.
  void onKillSwitchSetting(bool enabled);
  void prepareForReconnect();
  void onBlockIpv6Setting(bool enabled);

 private:
  Transact transact_;
  std::function<std::filesystem::path()> dataFolder_;
  std::string programPath_;
  TunnelView tunnel_;
};

}  // namespace vlvpn::killswitch
