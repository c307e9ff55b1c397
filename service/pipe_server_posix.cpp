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
#include <algorithm>
#include <thread>
#include <vector>

#include "common/posix/unique_fd.h"
#include "common/posix/wait_fd.h"
#include "service/pipe_server.h"
#include "service/socket_peer_posix.h"
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

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

struct Connection {
  UniqueFd fd;
  std::string request;
  Deadline deadline;
  Requester requester;  // from the socket's peer credentials
};

}  // namespace

Requester socketPeer(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    // Files would otherwise be read, and the log written, with the service's rights.
    Requester unknown;
    unknown.unknownIdentity = OsError{"getsockopt(SO_PEERCRED)", static_cast<uint32_t>(errno)};
    return unknown;
  }
  Requester requester{peer.uid, peer.gid, {}, {}};
  requester.name = "uid " + std::to_string(peer.uid);
  return requester;
}

namespace {

// The socket is non-blocking: a reply that fits its buffer (every reply
// does) goes out at once, and only a full buffer is waited on.
void writeReply(int fd, std::string_view reply, Deadline deadline) {
  while (!reply.empty()) {
    const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    if (n > 0) {
      reply.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!waitForFd(fd, POLLOUT, timeLeft(deadline))) return;
    } else {
      return;
    }
  }
}

// Closing the connection afterwards is the client's end of input.
void answer(ServerContext& context, Connection& connection) {
  writeReply(connection.fd.get(),
             answerRequest(context.dispatcher, context.log, connection.request, connection.requester),
             connection.deadline);
}

// Reads what arrived; false when the connection is done with (closed,
// failed), true while it is still to be read from or is complete.
bool readMore(Connection& connection) {
  char chunk[kReadChunkBytes];
  for (;;) {
    const ssize_t n = ::recv(connection.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      connection.request.append(chunk, static_cast<size_t>(n));
      if (isRequestComplete(connection.request)) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
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
  // Non-blocking: the loop accepts until no one is left waiting.
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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

  auto queue = std::make_shared<RequestQueue<Connection>>();
  try {
    startWorkers(context, queue, answer);
  } catch (const std::system_error&) {
    context->log.write("no worker thread could be started");
    return false;
  }

  // One thread reads every request as it arrives, so clients that trickle
  // or say nothing hold up no one: each is dropped at its deadline, and a
  // health check is answered here at once, whatever else is going on.
  const int stopFd = context->stop.native().readEnd.get();
  std::vector<Connection> reading;
  // Reads what has come (when `readable`) and, once the request is whole,
  // answers a health check here and hands anything else to the workers.
  // True while the connection is still to be read from; false once it is
  // answered, handed on, closed, failed or past its deadline.
  const auto stillToRead = [&](Connection& connection, bool readable) {
    if (readable && !readMore(connection)) return false;
    if (isRequestComplete(connection.request)) {
      connection.requester = socketPeer(connection.fd.get());
      if (Dispatcher::isHealthCheck(connection.request)) {
        answer(*context, connection);  // lock-free, and its reply fits the socket's buffer
      } else if (!queue->tryPush(connection, kMaxWaiting)) {
        writeReply(connection.fd.get(), busyReply(context->log, connection.request, connection.requester),
                   connection.deadline);
      }
      return false;
    }
    return Clock::now() < connection.deadline;
  };
  for (;;) {
    std::vector<pollfd> entries{{stopFd, POLLIN, 0}, {listener.get(), POLLIN, 0}};
    Deadline soonest = Deadline::max();
    for (const auto& connection : reading) {
      entries.push_back({connection.fd.get(), POLLIN, 0});
      soonest = std::min(soonest, connection.deadline);
    }
    const int timeout = soonest == Deadline::max() ? -1 : static_cast<int>(timeLeft(soonest).count()) + 1;
    if (::poll(entries.data(), entries.size(), timeout) < 0 && errno != EINTR) break;
    if (entries[0].revents) break;

    std::vector<Connection> stillReading;
    for (size_t i = 0; i < reading.size(); ++i) {
      if (stillToRead(reading[i], entries[i + 2].revents != 0)) stillReading.push_back(std::move(reading[i]));
    }
    reading = std::move(stillReading);

    // Everyone waiting is let in at once.
    while (entries[1].revents) {
      UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!accepted) {
        // Out of descriptors: give those being read a moment to finish.
        if (errno == EMFILE || errno == ENFILE) context->stop.wait(std::chrono::milliseconds(50));
        break;
      }
      // A client writes as soon as it is connected, so its request is
      // usually there already: read it now rather than after another poll.
      Connection connection{std::move(accepted), {}, Clock::now() + kRequestDeadline, {}};
      if (!stillToRead(connection, true)) continue;
      // Full: the one that has said least for longest makes room, so clients
      // that connect and stay silent can never keep a health check out.
      if (reading.size() >= kMaxReading) {
        reading.erase(std::min_element(reading.begin(), reading.end(), [](const Connection& a, const Connection& b) {
          return a.deadline < b.deadline;
        }));
      }
      reading.push_back(std::move(connection));
    }
  }
  queue->close();

  listener.reset();
  ::unlink(path.c_str());
  context->log.write("service stopping");
  context->dispatcher.shutdown();
  return true;
}

}  // namespace vlvpn::service
