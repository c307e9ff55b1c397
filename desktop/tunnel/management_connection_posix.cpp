#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/posix/unique_fd.h"
#include "desktop/tunnel/management_connection.h"

namespace vlvpn::tunnel {
namespace {

class SocketConnection final : public ManagementConnection {
 public:
  explicit SocketConnection(UniqueFd fd) : fd_(std::move(fd)) {}

  void send(std::string_view bytes) override { ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  Readiness waitReadable(std::chrono::milliseconds timeout) override {
    pollfd entry{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready > 0) return Readiness::Readable;
    if (ready == 0 || errno == EINTR) return Readiness::TimedOut;
    return Readiness::Failed;
  }

  std::string receive(size_t maxBytes) override {
    std::string bytes(maxBytes, '\0');
    ssize_t n;
    do {
      n = ::recv(fd_.get(), bytes.data(), bytes.size(), 0);
    } while (n < 0 && errno == EINTR);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }

 private:
  const UniqueFd fd_;
};

class SocketPort final : public ManagementPort {
 public:
  explicit SocketPort(uint16_t port) : port_(port) {}

  std::shared_ptr<ManagementConnection> connect() override {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result;
    do {
      result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return nullptr;
    return std::make_shared<SocketConnection>(std::move(fd));
  }

 private:
  const uint16_t port_;
};

}  // namespace

std::shared_ptr<ManagementPort> ManagementPort::create(uint16_t port) { return std::make_shared<SocketPort>(port); }

}  // namespace vlvpn::tunnel
