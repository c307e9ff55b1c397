#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/posix/subprocess.h"
#include "common/posix/unique_fd.h"
#include "common/posix/wait_fd.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/killswitch/service_pipe.h"

namespace vlvpn::killswitch {
namespace {

constexpr const char* kUnit = "VLVPNKillSwitch.service";

class SocketConnection final : public PipeConnection {
 public:
  explicit SocketConnection(UniqueFd fd) : fd_(std::move(fd)) {}

  bool writeAll(std::string_view bytes, std::chrono::milliseconds timeout) override {
    while (!bytes.empty()) {
      if (!waitForFd(fd_.get(), POLLOUT, timeout)) return false;
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  std::string readOnce(size_t maxBytes, std::chrono::milliseconds timeout) override {
    std::string reply(maxBytes, '\0');
    if (!waitForFd(fd_.get(), POLLIN, timeout)) return {};
    const ssize_t n = ::recv(fd_.get(), reply.data(), reply.size(), 0);
    reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return reply;
  }

 private:
  UniqueFd fd_;
};

class UnixSocketPipe final : public ServicePipe {
 public:
  Result<std::unique_ptr<PipeConnection>, OpenFailure> open() override {
    const char* configured = std::getenv("VLVPN_KILLSWITCH_SOCKET");
    const std::string path = configured && *configured ? configured : "/run/VLVPNKillSwitch.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return OpenFailure::Other;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return OpenFailure::Other;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (errno == ENOENT || errno == ECONNREFUSED) return OpenFailure::NotFound;  // nobody listens
      if (errno == EAGAIN) return OpenFailure::Busy;                              // backlog full
      return OpenFailure::Other;
    }
    return std::unique_ptr<PipeConnection>(std::make_unique<SocketConnection>(std::move(fd)));
  }

  // A full backlog has no wait call; a short pause stands in for one.
  void waitWhileBusy(std::chrono::milliseconds limit) override {
    std::this_thread::sleep_for(std::min(limit, std::chrono::milliseconds(50)));
  }
};

class SystemdManager final : public ServiceManager {
 public:
  bool isInstalled() override {
    // Without systemd (a container, a test namespace) systemctl only complains.
    auto shown = runCapturingOutput({"systemctl", "show", "--property=LoadState", "--value", kUnit},
                                    StandardError::Discard);
    return shown && shown.value().exitCode == 0 && shown.value().standardOutput.starts_with("loaded");
  }
  bool start() override {
    auto started = runCapturingOutput({"systemctl", "start", kUnit}, StandardError::Discard);
    return started && started.value().exitCode == 0;
  }
};

}  // namespace

std::unique_ptr<ServicePipe> ServicePipe::create() { return std::make_unique<UnixSocketPipe>(); }
std::unique_ptr<ServiceManager> ServiceManager::create() { return std::make_unique<SystemdManager>(); }

}  // namespace vlvpn::killswitch
