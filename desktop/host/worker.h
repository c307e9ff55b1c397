// Long or blocking module methods run on one detached thread per call. The
// thread owns a handle on the promise; workers are never joined or counted.
#pragma once

#include <functional>

#include "desktop/host/promise.h"

namespace vlvpn::host {

inline constexpr const char* kWorkerStartFailed = "Could not start a worker thread";

// Starts `task` on a new detached thread; throws std::system_error when no
// thread can be started (as std::thread does).
using ThreadStarter = std::function<void(std::function<void()> task)>;

void startDetachedThread(std::function<void()> task);

// Runs `work(promise)` on its own thread. When no thread can be started the
// promise is rejected with kWorkerStartFailed and the caller carries on.
void runOnWorker(Promise promise, std::function<void(const Promise&)> work,
                 const ThreadStarter& start = startDetachedThread);

// For methods that never reject: resolves with what `work` returns on its own
// thread, or with `fallback` at once when no thread can be started.
void resolveOnWorker(Promise promise, std::function<nlohmann::json()> work, nlohmann::json fallback,
                     const ThreadStarter& start = startDetachedThread);

}  // namespace vlvpn::host
