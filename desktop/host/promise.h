// A promise handed to a module method: settled once, from any thread.
//
// Copies share one state, like a reference-counted handle. When the last copy
// goes away unsettled, the promise rejects with "Promise destroyed.", so a
// caller always hears back exactly once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace vlvpn::host {

inline constexpr const char* kPromiseDestroyed = "Promise destroyed.";

// What the caller receives: the resolved value (null for void) or the
// rejection text.
using Settlement = Result<nlohmann::json>;

// The error object a rejection carries across the module boundary.
nlohmann::json errorObject(const std::string& message);

class Promise {
 public:
  using Sink = std::function<void(Settlement)>;

  // `sink` is called exactly once, on the thread that settles the promise.
  explicit Promise(Sink sink);

  // Only the first settlement counts; later ones are ignored.
  void resolve(nlohmann::json value = nullptr) const;
  void reject(std::string message) const;
  bool settled() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vlvpn::host
