#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include "common/win32/unique_handle.h"
#include "common/win32/unique_socket.h"
#include "common/win32/wide.h"
#include "desktop/auth/loopback_socket.h"

namespace vlvpn::auth {
namespace {

class WinsockConnection final : public LoopbackConnection {
 public:
  explicit WinsockConnection(UniqueSocket socket) : socket_(std::move(socket)) {}
  std::string receiveOnce(size_t maxBytes, std::chrono::milliseconds timeout) override {
    const DWORD limit = static_cast<DWORD>(timeout.count());
    setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    std::string buffer(maxBytes, '\0');
    const int n = recv(socket_.get(), buffer.data(), static_cast<int>(buffer.size()), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }
  void send(std::string_view bytes) override {
    ::send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
  }

 private:
  UniqueSocket socket_;
};

class WinsockListener final : public LoopbackListener {
 public:
  WinsockListener(UniqueSocket socket, uint16_t port, UniqueHandle ready, UniqueHandle cancelled)
      : socket_(std::move(socket)), port_(port), ready_(std::move(ready)), cancelled_(std::move(cancelled)) {}

  uint16_t port() const override { return port_; }

  Wait waitForConnection(std::chrono::milliseconds timeout) override {
    HANDLE waits[2] = {cancelled_.get(), ready_.get()};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeout.count()));
    if (woken == WAIT_TIMEOUT) return Wait::TimedOut;
    return woken == WAIT_OBJECT_0 + 1 ? Wait::Ready : Wait::Failed;
  }

  std::unique_ptr<LoopbackConnection> accept() override {
    UniqueSocket connection(::accept(socket_.get(), nullptr, nullptr));
    if (!connection) return nullptr;
    // An accepted socket inherits the listener's event selection; this one is
    // read and written plainly.
    WSAEventSelect(connection.get(), nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(connection.get(), FIONBIO, &blocking);
    return std::make_unique<WinsockConnection>(std::move(connection));
  }

  void cancel() override { SetEvent(cancelled_.get()); }

 private:
  UniqueSocket socket_;
  uint16_t port_;
  UniqueHandle ready_, cancelled_;
};

}  // namespace

Result<std::shared_ptr<LoopbackListener>> LoopbackListener::listen(uint16_t port) {
  // The program starts Windows Sockets before its entry point; a host of
  // this module that did not gets it here, once.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
  UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket) return Error{"Could not create OAuth loopback socket"};
  // Exclusive: SO_REUSEADDR would let another program bind this port too.
  const BOOL on = TRUE;
  setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Error{"Could not bind OAuth loopback socket"};
  }
  int length = sizeof address;
  if (getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Error{"Could not read OAuth loopback port"};
  }
  if (::listen(socket.get(), 1) != 0) return Error{"Could not listen on OAuth loopback socket"};
  UniqueHandle ready(WSACreateEvent());
  UniqueHandle cancelled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ready || !cancelled || WSAEventSelect(socket.get(), ready.get(), FD_ACCEPT) != 0) {
    return Error{"Could not listen on OAuth loopback socket"};
  }
  return std::shared_ptr<LoopbackListener>(std::make_shared<WinsockListener>(
      std::move(socket), ntohs(address.sin_port), std::move(ready), std::move(cancelled)));
}

bool openInBrowser(const std::string& url) {
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", wideFromUtf8(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace vlvpn::auth
