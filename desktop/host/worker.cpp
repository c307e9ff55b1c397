#include "desktop/host/worker.h"

#include <system_error>
#include <thread>

namespace vlvpn::host {
namespace {

// Starts `work(promise)` on its own thread; false when no thread could be had.
bool startWorker(const Promise& promise, std::function<void(const Promise&)> work, const ThreadStarter& start) {
  try {
    start([promise, work = std::move(work)] {
      // Nothing may escape a worker: an exception here would end the process.
      try {
        work(promise);
      } catch (const std::exception& e) {
        promise.reject(e.what());
      } catch (...) {
        promise.reject("Unexpected failure");
      }
    });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

void startDetachedThread(std::function<void()> task) { std::thread(std::move(task)).detach(); }

void runOnWorker(Promise promise, std::function<void(const Promise&)> work, const ThreadStarter& start) {
  if (!startWorker(promise, std::move(work), start)) promise.reject(kWorkerStartFailed);
}

void resolveOnWorker(Promise promise, std::function<nlohmann::json()> work, nlohmann::json fallback,
                     const ThreadStarter& start) {
  const auto resolveWithWork = [work = std::move(work)](const Promise& p) { p.resolve(work()); };
  if (!startWorker(promise, resolveWithWork, start)) promise.resolve(std::move(fallback));
}

}  // namespace vlvpn::host
