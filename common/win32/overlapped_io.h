// One overlapped pipe call run to completion with a time-out.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>

#include "common/win32/unique_handle.h"

namespace vlvpn {

// `start(OVERLAPPED*)` issues the call (ReadFile, WriteFile, ...). The byte
// count, or nullopt on failure or time-out; a timed-out call is cancelled and
// waited for, so the kernel is done with the OVERLAPPED before it goes.
template <class Start>
std::optional<DWORD> runOverlapped(HANDLE handle, std::chrono::milliseconds timeout, Start start) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return std::nullopt;
  OVERLAPPED io{};
  io.hEvent = event.get();
  if (!start(&io) && GetLastError() != ERROR_IO_PENDING) return std::nullopt;
  if (WaitForSingleObject(event.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    CancelIo(handle);
    DWORD ignored;
    GetOverlappedResult(handle, &io, &ignored, TRUE);
    return std::nullopt;
  }
  DWORD bytes = 0;
  if (!GetOverlappedResult(handle, &io, &bytes, FALSE)) return std::nullopt;
  return bytes;
}

}  // namespace vlvpn
