// VLVPNAuthSession's state: the loopback listener of the one sign-in at a
// time, the await that waits for the provider's redirect, and the worker
// that serves that redirect.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/auth/loopback_socket.h"
#include "desktop/host/module.h"
#include "desktop/host/promise.h"
#include "desktop/host/worker.h"

namespace vlvpn::auth {

inline constexpr uint16_t kPreferredLoopbackPorts[] = {42813, 42814, 42815, 42816, 42817};
inline constexpr std::chrono::milliseconds kRedirectWait{180000};
inline constexpr std::chrono::milliseconds kRequestWait{10000};
inline constexpr size_t kMaxRequestBytes = 8191;

// "http://127.0.0.1:<port>/oauth2redirect".
std::string redirectUri(uint16_t port);

// The whole answer to the browser: headers and the "Signed in" page.
std::string signedInReply();

// "http://127.0.0.1:<port>" + the request target, byte for byte; empty when
// the request line has no target, or one that is not a path ("/...", not
// "//...") of printable bytes.
std::string callbackUrlFromRequest(std::string_view request, uint16_t port);

struct LoopbackPorts {
  std::function<Result<std::shared_ptr<LoopbackListener>>(uint16_t port)> listen = LoopbackListener::listen;
  std::function<bool(const std::string& url)> openBrowser = openInBrowser;
  std::chrono::milliseconds redirectWait = kRedirectWait;
  host::ThreadStarter startThread = host::startDetachedThread;
};

class LoopbackSession : public std::enable_shared_from_this<LoopbackSession> {
 public:
  explicit LoopbackSession(LoopbackPorts ports) : ports_(std::move(ports)) {}

  void begin(host::Promise promise);
  void await(const std::string& authorizeUrl, host::Promise promise);
  void cancel(host::Promise promise);

 private:
  // Closes `listener` if it is still the current one, so a finished
  // sign-in never closes the next one's listener.
  void closeListener(const std::shared_ptr<LoopbackListener>& listener);
  void finishWithError(const std::shared_ptr<LoopbackListener>& listener, const std::string& code,
                       const std::string& message);
  void finishWithCallbackUrl(const std::shared_ptr<LoopbackListener>& listener, const std::string& url);
  std::optional<host::Promise> takePending(const std::shared_ptr<LoopbackListener>& listener);
  void serve(std::shared_ptr<LoopbackListener> listener);

  LoopbackPorts ports_;
  std::mutex mutex_;
  std::shared_ptr<LoopbackListener> listener_;
  std::optional<host::Promise> pending_;
  std::shared_ptr<LoopbackListener> pendingFor_;  // the listener the pending await belongs to
};

inline constexpr const char* kAuthSessionModuleName = "VLVPNAuthSession";

// beginLoopback, awaitLoopbackCallback and cancelLoopback over one session.
host::ModuleTable makeAuthSessionModule(LoopbackPorts ports = {});

}  // namespace vlvpn::auth
