#include "desktop/host/worker.h"

#include <system_error>
#include <thread>

namespace vlvpn::host {

void startDetachedThread(std::function<void()> task) { std::thread(std::move(task)).detach(); }

void runOnWorker(Promise promise, std::function<void(const Promise&)> work, const ThreadStarter& start) {
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
  } catch (const std::system_error&) {
    promise.reject(kWorkerStartFailed);
  }
}

}  // namespace vlvpn::host
