#include "desktop/auth/loopback_session.h"

#include <algorithm>

namespace vlvpn::auth {
namespace {

constexpr std::string_view kSignedInPage =
    "<html><head><meta charset=\"utf-8\"><title>Velmora VPN</title></head>"
    "<body style=\"font-family:Segoe UI,sans-serif;padding:40px;text-align:center;\"><h2>Signed in</h2>"
    "<p>You can close this window and return to Velmora VPN.</p></body></html>";

}  // namespace

std::string redirectUri(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/oauth2redirect"; }

std::string signedInReply() {
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ";
  reply.append(std::to_string(kSignedInPage.size())).append("\r\nConnection: close\r\n\r\n").append(kSignedInPage);
  return reply;
}

std::string callbackUrlFromRequest(std::string_view request, uint16_t port) {
  std::string_view line = request;
  if (request.size() >= 2) {
    if (const size_t end = request.find("\r\n"); end != std::string_view::npos) line = request.substr(0, end);
  }
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return {};
  std::string_view target = line.substr(space + 1);
  target = target.substr(0, target.find(' '));
  // A browser following the redirect sends a path. Anything else ("@host/",
  // "//host/", a line end without CR) would make an address that is not
  // this listener's, or more than one line.
  if (target.empty() || target.front() != '/' || target.starts_with("//")) return {};
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  if (std::any_of(target.begin(), target.end(), isControl)) return {};
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  url.append(target);
  return url;
}

void LoopbackSession::closeListener(const std::shared_ptr<LoopbackListener>& listener) {
  {
    std::lock_guard lock(mutex_);
    if (!listener || listener != listener_) return;
    listener_.reset();
  }
  listener->cancel();
}

std::optional<host::Promise> LoopbackSession::takePending(const std::shared_ptr<LoopbackListener>& listener) {
  std::lock_guard lock(mutex_);
  if (!pending_ || pendingFor_ != listener) return std::nullopt;
  auto promise = std::move(pending_);
  pending_.reset();
  pendingFor_.reset();
  return promise;
}

void LoopbackSession::finishWithError(const std::shared_ptr<LoopbackListener>& listener, const std::string& code,
                                      const std::string& message) {
  auto promise = takePending(listener);
  closeListener(listener);
  if (promise) promise->reject(code + ": " + message);
}

void LoopbackSession::finishWithCallbackUrl(const std::shared_ptr<LoopbackListener>& listener, const std::string& url) {
  auto promise = takePending(listener);
  closeListener(listener);
  if (promise) promise->resolve({{"callbackUrl", url}});
}

void LoopbackSession::begin(host::Promise promise) {
  // One sign-in at a time: an earlier listener goes, and an await still
  // waiting on it ends as cancelled. Its worker then finds nothing of its
  // own left to settle or close.
  std::shared_ptr<LoopbackListener> earlier;
  {
    std::lock_guard lock(mutex_);
    earlier = listener_;
  }
  if (earlier) finishWithError(earlier, "cancelled", "Google sign-in was cancelled");
  std::shared_ptr<LoopbackListener> listener;
  for (const uint16_t port : kPreferredLoopbackPorts) {
    if (auto opened = ports_.listen(port)) {
      listener = std::move(opened).value();
      break;
    }
  }
  if (!listener) {
    auto fallback = ports_.listen(0);
    if (!fallback) return promise.reject(fallback.error().message);
    listener = std::move(fallback).value();
  }
  {
    std::lock_guard lock(mutex_);
    listener_ = listener;
  }
  promise.resolve({{"redirectUri", redirectUri(listener->port())}, {"port", listener->port()}});
}

void LoopbackSession::await(const std::string& authorizeUrl, host::Promise promise) {
  std::shared_ptr<LoopbackListener> listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
    if (!listener) return promise.reject("Call beginLoopback before awaitLoopbackCallback");
    if (pending_) return promise.reject("OAuth loopback already waiting");
    pending_ = std::move(promise);
    pendingFor_ = listener;
  }
  if (authorizeUrl.empty()) return finishWithError(listener, "invalid_url", "Missing OAuth authorize URL");
  try {
    ports_.startThread([self = shared_from_this(), listener] { self->serve(listener); });
  } catch (const std::system_error&) {
    return finishWithError(listener, "cancelled", "Google sign-in was cancelled");
  }
  if (!ports_.openBrowser(authorizeUrl)) finishWithError(listener, "open_url", "Could not open the system browser");
}

void LoopbackSession::serve(std::shared_ptr<LoopbackListener> listener) {
  switch (listener->waitForConnection(ports_.redirectWait)) {
    case LoopbackListener::Wait::TimedOut:
      return finishWithError(listener, "cancelled", "Google sign-in timed out");
    case LoopbackListener::Wait::Failed:
      return finishWithError(listener, "cancelled", "Google sign-in was cancelled");
    case LoopbackListener::Wait::Ready:
      break;
  }
  auto connection = listener->accept();
  if (!connection) return finishWithError(listener, "loopback_accept", "OAuth loopback accept failed");
  const std::string request = connection->receiveOnce(kMaxRequestBytes, kRequestWait);
  const std::string callbackUrl = callbackUrlFromRequest(request, listener->port());
  connection->send(signedInReply());
  connection.reset();
  if (callbackUrl.empty()) return finishWithError(listener, "no_code", "Google redirect did not include a code");
  finishWithCallbackUrl(listener, callbackUrl);
}

void LoopbackSession::cancel(host::Promise promise) {
  std::shared_ptr<LoopbackListener> listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) finishWithError(listener, "cancelled", "Google sign-in was cancelled");
  promise.resolve(true);
}

host::ModuleTable makeAuthSessionModule(LoopbackPorts ports) {
  auto session = std::make_shared<LoopbackSession>(std::move(ports));
  host::ModuleTable module;
  module.name = kAuthSessionModuleName;
  module.methods = {
      {"beginLoopback", {}, [session](const host::Args&, host::Promise promise) { session->begin(std::move(promise)); }},
      {"awaitLoopbackCallback", {host::ArgType::String},
       [session](const host::Args& a, host::Promise promise) { session->await(a.string(0), std::move(promise)); }},
      {"cancelLoopback", {}, [session](const host::Args&, host::Promise promise) { session->cancel(std::move(promise)); }},
  };
  return module;
}

}  // namespace vlvpn::auth
