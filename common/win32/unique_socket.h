// Move-only owner of a Windows socket; INVALID_SOCKET is empty.
#pragma once

#include <winsock2.h>

#include <utility>

namespace vlvpn {

class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET s) : socket_(s) {}
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { reset(); }

  SOCKET get() const { return socket_; }
  explicit operator bool() const { return socket_ != INVALID_SOCKET; }
  SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }
  // Closing keeps the thread's last socket error for the caller's report.
  void reset(SOCKET s = INVALID_SOCKET) {
    if (socket_ != INVALID_SOCKET) {
      const int saved = WSAGetLastError();
      closesocket(socket_);
      WSASetLastError(saved);
    }
    socket_ = s;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace vlvpn
