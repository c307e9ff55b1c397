// A call the service cannot let stall it: a user's file behind an
// opportunistic lock whose break is never acknowledged, a path that leads to
// a pipe that never answers.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "common/result.h"
#include "common/win32/unique_handle.h"

namespace vlvpn::service {

// Runs `work` on a thread of its own and waits for it at most `deadline`.
// Late, its thread's blocking I/O is cancelled and the call fails with
// ERROR_TIMEOUT; the thread owns everything `work` holds, so it may finish
// whenever it can, and what it produced is then simply dropped.
template <class T>
Result<T, OsError> callWithDeadline(std::chrono::milliseconds deadline, std::function<T()> work) {
  struct Job {
    std::function<T()> work;
    std::optional<T> result;  // written before `done` is set, read only after
    UniqueHandle done;
  };
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  job->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!job->done) return OsError{"CreateEventW", GetLastError()};

  auto* owned = new std::shared_ptr<Job>(job);
  const auto run = [](void* parameter) -> DWORD {
    const std::unique_ptr<std::shared_ptr<Job>> mine(static_cast<std::shared_ptr<Job>*>(parameter));
    Job& job = **mine;
    try {
      job.result = job.work();
    } catch (...) {
      // Out of memory: no result, which the waiter reports.
    }
    SetEvent(job.done.get());
    return 0;
  };
  UniqueHandle thread(CreateThread(nullptr, 0, run, owned, 0, nullptr));
  if (!thread) {
    const DWORD error = GetLastError();
    delete owned;
    return OsError{"CreateThread", error};
  }

  if (WaitForSingleObject(job->done.get(), static_cast<DWORD>(deadline.count())) != WAIT_OBJECT_0) {
    CancelSynchronousIo(thread.get());
    return OsError{"deadline", ERROR_TIMEOUT};
  }
  if (!job->result) return OsError{"thread", ERROR_NOT_ENOUGH_MEMORY};
  return std::move(*job->result);
}

}  // namespace vlvpn::service
