// The user's two firewall settings, turned into service requests together
// with the server endpoint of the tunnel, and that endpoint kept in
// "killswitch.txt" so a later run can fence a tunnel that still runs.
//
// The controller remembers which sets it asked the service for and keeps
// them in force: a set the service refused or never answered for is asked
// for again, and so is every set a restarted service no longer holds (the
// sets live only as long as the service's process). It never opens the
// machine on its own account: only the user's turning the kill switch off
// does.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/killswitch/server_endpoint.h"

namespace vlvpn::killswitch {

// "ENABLE <proto|any> <port> <1|0> <addresses|none> <program>". With no
// address known the set still goes up: nothing but DNS, the program and the
// service's own OpenVPN gets out then.
std::string enableRequest(const ServerEndpoint& endpoint, bool allowDns, const std::string& programPath);

// The reply to "FILTER_STATUS": "OK <instance> <kill switch 0|1> <IPv6 block 0|1>".
struct ServiceFilterStatus {
  std::string instance;
  bool killSwitch = false;
  bool ipv6Block = false;
};
std::optional<ServiceFilterStatus> parseFilterStatus(std::string_view reply);

// "killswitch.txt": proto LF port LF addresses, no LF at the end.
std::string formatEndpointFile(const ServerEndpoint& endpoint);
// CR LF reads as LF; a damaged port reads as 0; missing lines are empty.
ServerEndpoint parseEndpointFile(std::string_view text);

// What the controller asks of the tunnel when a setting changes.
struct TunnelView {
  std::function<std::string()> state;        // "connecting", "connected" or "disconnected"
  std::function<ServerEndpoint()> endpoint;  // the server of the current session
  // Whether the connected tunnel brought DNS servers of its own.
  std::function<bool()> carriesDns = [] { return false; };
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

  // Puts the kill switch for the session's endpoint in force, in one step
  // that replaces the set on, if any. True when the service confirmed it;
  // otherwise keepInForce() asks again.
  bool applyKillSwitch(bool allowDns);
  // The kill switch as the tunnel's state calls for it: DNS outside the
  // tunnel only until a connected tunnel carries its own.
  bool applyKillSwitchForTunnel();
  // "DISABLE": the one request that opens the machine, for the user's
  // turning the kill switch off (or a connect with it off).
  void liftKillSwitch();
  // "BLOCK_IPV6" or "UNBLOCK_IPV6".
  void setIpv6Block(bool on);

  // Asks the service what it holds and puts back whatever set it asked for
  // that the service lost or never confirmed. Sends nothing while nothing
  // is wanted; else one request, and the missing sets after it.
  void keepInForce();
  // Absent while the setting is off; else whether the service has
  // confirmed a kill switch for what was asked last.
  std::optional<bool> killSwitchActive();

  // Written whole, creating the data folder first; a file that cannot be
  // written is silently skipped.
  void saveServerEndpoint(const ServerEndpoint& endpoint);
  // Empty values when the file is missing or unreadable.
  ServerEndpoint loadServerEndpoint();
  // Errors are ignored.
  void removeServerEndpoint();

  // The work of the module methods, on their worker threads.
  void onKillSwitchSetting(bool enabled);
  // Before the interface switches servers: the set stays up, with DNS, so
  // the next connect can resolve its server while nothing else gets out.
  void prepareForReconnect();
  void onBlockIpv6Setting(bool enabled);

 private:
  // What was last asked of the service, under wantedLock_, which is held
  // across each exchange so that requests and the record never disagree.
  struct Wanted {
    std::string killSwitch;  // the ENABLE request in force, "" for none
    bool ipv6Block = false;
    bool killSwitchConfirmed = false;
    bool ipv6BlockConfirmed = false;
    std::string instance;  // the service that confirmed them
  };
  bool sendKillSwitchLocked();
  bool sendIpv6BlockLocked();

  std::mutex wantedLock_;
  Wanted wanted_;
  // Read without the lock, which an exchange may hold for seconds.
  std::atomic<bool> killSwitchInForce_{false};
  Transact transact_;
  std::function<std::filesystem::path()> dataFolder_;
  std::string programPath_;
  TunnelView tunnel_;
};

}  // namespace vlvpn::killswitch
