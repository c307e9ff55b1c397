// Move-only owners of Win32 handles. Two kinds of "empty" exist in Win32:
// most handles are NULL when absent, file-like handles INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <utility>

namespace vlvpn {

template <HANDLE (*Empty)()>
class BasicUniqueHandle {
 public:
  BasicUniqueHandle() = default;
  explicit BasicUniqueHandle(HANDLE handle) : handle_(handle) {}
  BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : handle_(other.release()) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
  ~BasicUniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  HANDLE* put() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != Empty(); }
  HANDLE release() { return std::exchange(handle_, Empty()); }
  // Closing keeps the thread's last error for the caller's report.
  void reset(HANDLE handle = Empty()) {
    if (handle_ != Empty()) {
      const DWORD saved = GetLastError();
      CloseHandle(handle_);
      SetLastError(saved);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = Empty();
};

inline HANDLE nullHandle() { return nullptr; }
inline HANDLE invalidHandle() { return INVALID_HANDLE_VALUE; }

using UniqueHandle = BasicUniqueHandle<nullHandle>;
using UniqueFileHandle = BasicUniqueHandle<invalidHandle>;

}  // namespace vlvpn
