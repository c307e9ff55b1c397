// A process-wide slot for a callable, filled by one thread and called from any.
// Calling an empty hook does nothing. The callable runs outside the hook's
// lock, so it may itself replace the hook.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace vlvpn::host {

template <class... Args>
class Hook {
 public:
  using Function = std::function<void(Args...)>;

  void set(Function function) {
    auto next = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
    std::lock_guard lock(mutex_);
    function_ = std::move(next);
  }
  void clear() { set(nullptr); }
  bool isSet() const {
    std::lock_guard lock(mutex_);
    return function_ != nullptr;
  }
  void operator()(Args... args) const {
    std::shared_ptr<const Function> current;
    {
      std::lock_guard lock(mutex_);
      current = function_;
    }
    if (current) (*current)(args...);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Function> function_;
};

}  // namespace vlvpn::host
