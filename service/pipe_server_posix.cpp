#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/posix/unique_fd.h"
#include "common/posix/wait_fd.h"
#include "service/pipe_server.h"
#include "service/stop_signal_posix.h"

namespace vlvpn::service {
namespace {

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

using Deadline = std::chrono::steady_clock::time_point;

// Reads until the request is complete; false when the client closes, fails
// or the deadline passes before that.
bool readRequest(int fd, std::string& request, Deadline deadline) {
  char chunk[kReadChunkBytes];
  while (!isRequestComplete(request)) {
    if (!waitForFd(fd, POLLIN, timeLeft(deadline))) return false;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    request.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

void writeReply(int fd, std::string_view reply, Deadline deadline) {
  while (!reply.empty()) {
    if (!waitForFd(fd, POLLOUT, timeLeft(deadline))) return;
    const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    reply.remove_prefix(static_cast<size_t>(n));
  }
}

void serveConnection(const std::shared_ptr<ServerContext>& context, UniqueFd connection) {
  const Deadline deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  std::string request;
  if (readRequest(connection.get(), request, deadline)) {
    writeReply(connection.get(), answerRequest(context->dispatcher, context->log, request), deadline);
    ::shutdown(connection.get(), SHUT_WR);
  }
}

// Another service still answering on the path owns it; a leftover file of one
// that ended does not count.
bool endpointInUse(const sockaddr_un& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

std::string serviceEndpoint() {
  const char* configured = std::getenv("VLVPN_KILLSWITCH_SOCKET");
  return configured && *configured ? configured : "/run/VLVPNKillSwitch.sock";
}

bool runPipeServer(std::shared_ptr<ServerContext> context) {
  const std::string path = serviceEndpoint();
  sockaddr_un address{};
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fillAddress(path, address) || !listener) {
    context->log.write("socket failed: " + std::to_string(errno) + " for " + path);
    return false;
  }
  if (endpointInUse(address)) {
    context->log.write("another service is listening on " + path);
    return false;
  }
  context->log.write("service started");
  ::unlink(path.c_str());
  // Any local user may connect, as authenticated users may on Windows.
  const mode_t previous = ::umask(0);
  const bool bound = ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(previous);
  if (!bound || ::chmod(path.c_str(), 0666) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
    context->log.write("listen failed: " + std::to_string(errno) + " for " + path);
    return false;
  }

  const int stopFd = context->stop.native().readEnd.get();
  while (context->slots.acquire(context->stop)) {
    pollfd entries[2] = {{stopFd, POLLIN, 0}, {listener.get(), POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      context->slots.release();
      if (errno == EINTR) continue;
      break;
    }
    if (entries[0].revents) {
      context->slots.release();
      break;
    }
    UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
      context->slots.release();
      continue;
    }
    serveOnThread(context, std::move(connection), serveConnection);
  }

  listener.reset();
  ::unlink(path.c_str());
  context->log.write("service stopping");
  context->dispatcher.shutdown();
  return true;
}

}  // namespace vlvpn::service
