#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/posix/unique_fd.h"
#include "desktop/auth/loopback_socket.h"

extern char** environ;

namespace vlvpn::auth {
namespace {

class PosixConnection final : public LoopbackConnection {
 public:
  explicit PosixConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  std::string receiveOnce(size_t maxBytes, std::chrono::milliseconds timeout) override {
    timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string buffer(maxBytes, '\0');
    ssize_t n;
    do {
      n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }
  void send(std::string_view bytes) override { (void)::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); }

 private:
  UniqueFd fd_;
};

class PosixListener final : public LoopbackListener {
 public:
  PosixListener(UniqueFd socket, uint16_t port, UniqueFd wakeRead, UniqueFd wakeWrite)
      : socket_(std::move(socket)), port_(port), wakeRead_(std::move(wakeRead)), wakeWrite_(std::move(wakeWrite)) {}

  uint16_t port() const override { return port_; }

  Wait waitForConnection(std::chrono::milliseconds timeout) override {
    pollfd entries[2] = {{socket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(entries, 2, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return Wait::TimedOut;
    if (ready < 0 || entries[1].revents) return Wait::Failed;
    return Wait::Ready;
  }

  std::unique_ptr<LoopbackConnection> accept() override {
    UniqueFd connection(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) return nullptr;
    return std::make_unique<PosixConnection>(std::move(connection));
  }

  void cancel() override {
    const char byte = 1;
    (void)::write(wakeWrite_.get(), &byte, 1);  // the pipe stays readable: every later wait fails too
  }

 private:
  UniqueFd socket_;
  uint16_t port_;
  UniqueFd wakeRead_, wakeWrite_;
};

}  // namespace

Result<std::shared_ptr<LoopbackListener>> LoopbackListener::listen(uint16_t port) {
  // Non-blocking, so a client that went away between the wait and the
  // accept makes the accept fail instead of hanging the worker.
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  if (!socket) return Error{"Could not create OAuth loopback socket"};
  const int on = 1;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Error{"Could not bind OAuth loopback socket"};
  }
  socklen_t length = sizeof address;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Error{"Could not read OAuth loopback port"};
  }
  if (::listen(socket.get(), 1) != 0) return Error{"Could not listen on OAuth loopback socket"};
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return Error{"Could not create OAuth loopback socket"};
  return std::shared_ptr<LoopbackListener>(
      std::make_shared<PosixListener>(std::move(socket), ntohs(address.sin_port), UniqueFd(wake[0]), UniqueFd(wake[1])));
}

bool openInBrowser(const std::string& url) {
  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
  // xdg-open hands over to the browser and ends; reap it without waiting here.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace vlvpn::auth
