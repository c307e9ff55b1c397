// Move-only owner of a Service Control Manager handle; NULL is empty.
#pragma once

#include <windows.h>

#include <utility>

namespace vlvpn {

class UniqueScHandle {
 public:
  explicit UniqueScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  UniqueScHandle(UniqueScHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueScHandle& operator=(UniqueScHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueScHandle(const UniqueScHandle&) = delete;
  UniqueScHandle& operator=(const UniqueScHandle&) = delete;
  ~UniqueScHandle() { reset(); }

  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_) CloseServiceHandle(handle_);
    handle_ = nullptr;
  }

 private:
  SC_HANDLE handle_;
};

}  // namespace vlvpn
