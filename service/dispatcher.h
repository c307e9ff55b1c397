// The service's whole protocol: one request line in, one reply line out.
// Dispatch never touches the pipe; what the commands do is behind
// ServiceCommands.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.h"

namespace vlvpn::service {

// ENABLE proto port dns addresses exe
struct KillSwitchRequest {
  std::string proto;                // as sent; lower-cased where it is used
  int32_t port = 0;                 // 0 when missing or not a number
  bool dns = false;
  std::vector<uint32_t> addresses;  // IPv4, host byte order, in request order
  std::string exe;                  // may contain spaces; may be empty
  friend bool operator==(const KillSwitchRequest&, const KillSwitchRequest&) = default;
};

// Reads the words after "ENABLE" with stream-extraction rules: once one item
// is missing or malformed, every later one is empty or 0.
KillSwitchRequest parseEnableArguments(std::string_view afterCommandWord);

// Who sent a request, where the transport can tell; files a user names are
// read as that user. Linux: the peer's credentials of the Unix socket.
// Windows: the client's token at identification level (a HANDLE), which
// lets the service check what the user may open but not act as the user.
// A transport that could not establish who the client is says why in
// `unknownIdentity`; such a client gets nothing read or started for it.
struct Requester {
  std::optional<uint32_t> uid;
  std::optional<uint32_t> gid;
  std::shared_ptr<void> token;
  std::optional<OsError> unknownIdentity;
  // Who it is, for the log: "uid 1000", "DOMAIN\\user", "pid 4242"; empty
  // when the transport could not tell.
  std::string name = {};
};

// What an OPENVPN_START needs once its checks passed and the user's files
// were read; what it holds is the commands' own.
struct PreparedStart {
  virtual ~PreparedStart() = default;
};
// The whole reply when the start is refused, else the start to run.
using StartPreparation = std::variant<std::string, std::unique_ptr<PreparedStart>>;

// The commands' real work, called with the command lock held; only
// prepareOpenVpnStart runs without it.
class ServiceCommands {
 public:
  virtual ~ServiceCommands() = default;
  // 0 on success, else the platform's result code.
  virtual uint32_t enableKillSwitch(const KillSwitchRequest& request) = 0;
  virtual void disableKillSwitch() = 0;
  virtual uint32_t blockIpv6() = 0;
  virtual void unblockIpv6() = 0;
  // OPENVPN_START in two steps, so that a user's slow files hold up no one
  // else's command: first the checks and the reading of the user's files,
  // without the command lock; then, with it, the start, whose reply is
  // "OK <pid>" or "ERR ...".
  virtual StartPreparation prepareOpenVpnStart(const std::string& exe, const std::string& args,
                                               const Requester& requester) = 0;
  virtual std::string startOpenVpn(std::unique_ptr<PreparedStart> prepared) = 0;
  virtual void stopOpenVpn() = 0;
  // "OK RUNNING <pid>" or "OK STOPPED".
  virtual std::string openVpnStatus() = 0;
  // Which filter sets are in force now.
  virtual bool killSwitchOn() = 0;
  virtual bool ipv6BlockOn() = 0;
};

// A name for this run of the service, different for every start, so a
// client that finds another one knows the sets it had asked for are gone.
std::string newServiceInstance();

class Dispatcher {
 public:
  explicit Dispatcher(ServiceCommands& commands, std::string instance = newServiceInstance())
      : commands_(commands), instance_(std::move(instance)) {}

  // The reply, without line end, to one request. Exactly "PING", "ping" and
  // "Ping" are answered without the command lock, so a health check gets
  // through while a long command runs.
  std::string dispatch(std::string_view request, const Requester& requester = {});

  // Whether `request` takes that lock-free path, so a caller may answer it
  // on a thread that must never wait for the command lock.
  static bool isHealthCheck(std::string_view request);

  // The service's last steps: stop OpenVPN and remove both filter sets.
  // From then on every command but PING answers "ERR stopping": a request
  // still being read at the stop never runs after it.
  void shutdown();

 private:
  std::string dispatchLocked(std::string_view command);
  std::string startOpenVpn(std::string_view request, const Requester& requester);

  ServiceCommands& commands_;
  const std::string instance_;
  std::mutex commandLock_;
  bool shutDown_ = false;  // under commandLock_
};

}  // namespace vlvpn::service
