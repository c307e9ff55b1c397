#include "desktop/tunnel/tunnel_process_posix.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>
#include <thread>

#include "common/file_bytes.h"
#include "common/posix/unique_fd.h"
#include "common/posix/wait_fd.h"
#include "desktop/tunnel/tunnel_process.h"

namespace vlvpn::tunnel {
namespace {

using namespace std::chrono_literals;

// A pidfd turns readable when the process ends, whoever its parent is, and
// never names a reused number. Without one (old kernels) the number is polled.
UniqueFd openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

class PosixProcess final : public TunnelProcess {
 public:
  PosixProcess(pid_t pid, bool child, UniqueFd pidfd) : pid_(pid), child_(child), pidfd_(std::move(pidfd)) {}
  ~PosixProcess() override { hasEnded(); }  // reaps an ended child; a running one is left running

  uint32_t pid() const override { return static_cast<uint32_t>(pid_); }

  bool hasEnded() override {
    std::lock_guard lock(mutex_);
    return endedLocked();
  }

  bool waitForExit(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (hasEnded()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      if (pidfd_) {
        waitForFd(pidfd_.get(), POLLIN, std::min(left, 100ms));
      } else {
        std::this_thread::sleep_for(std::min(left, 10ms));
      }
    }
  }

 private:
  bool endedLocked() {
    if (ended_) return true;
    if (child_) {
      const pid_t reaped = ::waitpid(pid_, nullptr, WNOHANG);
      ended_ = reaped == pid_ || (reaped < 0 && errno == ECHILD);
    } else if (pidfd_) {
      ended_ = waitForFd(pidfd_.get(), POLLIN, 0ms);
    } else {
      ended_ = ::kill(pid_, 0) != 0 && errno == ESRCH;
    }
    return ended_;
  }

  const pid_t pid_;
  const bool child_;
  const UniqueFd pidfd_;
  std::mutex mutex_;
  bool ended_ = false;
};

// The executable's file name: the link /proc/<pid>/exe when it can be read
// (a root-owned OpenVPN hides it from other users), else the command name.
std::string executableName(const std::string& pidText) {
  const std::string base = "/proc/" + pidText;
  char target[4096];
  const ssize_t length = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    if (path.ends_with(" (deleted)")) path.resize(path.size() - 10);
    return path.substr(path.rfind('/') + 1);
  }
  std::string comm = readFileBytes(base + "/comm").value_or("");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

}  // namespace

std::shared_ptr<TunnelProcess> adoptChildProcess(pid_t pid) {
  return std::make_shared<PosixProcess>(pid, true, openPidfd(pid));
}

std::shared_ptr<TunnelProcess> openTunnelProcess(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return nullptr;
  const auto native = static_cast<pid_t>(pid);
  UniqueFd pidfd = openPidfd(native);
  if (!pidfd && ::kill(native, 0) != 0 && errno == ESRCH) return nullptr;
  return std::make_shared<PosixProcess>(native, false, std::move(pidfd));
}

std::optional<uint32_t> findOpenVpnProcess() {
  DIR* proc = ::opendir("/proc");
  if (!proc) return std::nullopt;
  std::optional<uint32_t> found;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    uint32_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size() || pid == 0) continue;
    if (executableName(name) == "openvpn") {
      found = pid;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace vlvpn::tunnel
