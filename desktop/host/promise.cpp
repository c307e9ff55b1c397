#include "desktop/host/promise.h"

#include <atomic>

namespace vlvpn::host {

nlohmann::json errorObject(const std::string& message) {
  return {{"code", "EUNSPECIFIED"}, {"message", message}, {"userInfo", nlohmann::json::object()}};
}

struct Promise::State {
  explicit State(Sink s) : sink(std::move(s)) {}
  ~State() { settle(Error{kPromiseDestroyed}); }

  void settle(Settlement settlement) {
    if (settled.exchange(true)) return;
    if (sink) sink(std::move(settlement));
  }

  Sink sink;
  std::atomic<bool> settled{false};
};

Promise::Promise(Sink sink) : state_(std::make_shared<State>(std::move(sink))) {}

void Promise::resolve(nlohmann::json value) const { state_->settle(std::move(value)); }

void Promise::reject(std::string message) const { state_->settle(Error{std::move(message)}); }

bool Promise::settled() const { return state_->settled.load(); }

}  // namespace vlvpn::host
