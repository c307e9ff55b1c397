// Every request of the desktop program to the kill-switch service: one
// request line out, one reply line back. It never fails loudly: a service
// that is missing, busy or silent gives an empty reply, and each caller
// decides what that means.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "desktop/killswitch/service_pipe.h"

namespace vlvpn::killswitch {

inline constexpr std::chrono::milliseconds kOpenDeadline{3000};
inline constexpr std::chrono::milliseconds kBusyWait{300};
inline constexpr std::chrono::milliseconds kExchangeTimeout{5000};
inline constexpr size_t kMaxReplyBytes = 511;

// The time the open deadline is measured in.
struct Clock {
  std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
};

struct StartOutcome {
  enum class Kind { Started, NoAnswer, Refused };
  Kind kind = Kind::NoAnswer;
  uint32_t pid = 0;   // Started: the process id the service named, 0 when none could be read
  std::string error;  // Refused: the sentence for the user
};

class ServiceClient {
 public:
  ServiceClient(std::unique_ptr<ServicePipe> pipe, std::unique_ptr<ServiceManager> manager, Clock clock = {});

  // The reply without trailing LF, CR and spaces; "" when no exchange took
  // place or nothing came back. Exchanges never overlap (transactLock).
  // Only a busy service is waited for (up to 3 s): one with no pipe at all,
  // installed or not, answers "" at once, so a stopped service costs its
  // callers no time.
  std::string transact(std::string_view request);

  bool isServiceInstalled() { return manager_->isInstalled(); }
  bool startKillSwitchService() { return manager_->start(); }

  // Has the service end any OpenVPN it holds, then start this one. A lost
  // answer is recovered from OPENVPN_STATUS; the request is sent at most
  // three more times.
  StartOutcome startOpenVpnViaService(const std::string& exe, const std::string& args);

 private:
  std::string exchange(std::string_view request);

  std::unique_ptr<ServicePipe> pipe_;
  std::unique_ptr<ServiceManager> manager_;
  Clock clock_;
  std::mutex transactLock_;
};

// True when the reply is at least 4 bytes long and contains "PONG".
bool serviceAnswersPing(std::string_view reply);
// True when an OPENVPN_STATUS reply is at least 7 bytes long and contains
// `word` ("RUNNING", "STOPPED").
bool serviceStatusSays(std::string_view status, std::string_view word);

// The process-wide client, set once at start-up by the composition root.
void setServiceClient(std::shared_ptr<ServiceClient> client);
std::shared_ptr<ServiceClient> serviceClient();

}  // namespace vlvpn::killswitch
