#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "common/posix/unique_fd.h"
#include "service/supervised_process.h"

extern char** environ;

namespace vlvpn::service {
namespace {

// OpenVPN reopens its inherited log through /proc, as root, but the file is
// the one opened for the user: their own openvpn.log, whatever the path
// names by the time OpenVPN starts.
constexpr int kChildLogFd = 3;

// Libraries open descriptors without close-on-exec: libnftables' netlink
// socket among them, which owns the service's tables. An OpenVPN that
// inherited it would keep the tables alive after the service ended, beyond
// the reach of the service that comes next. So every descriptor is marked
// before a start; the child gets only what the spawn actions hand it.
void closeEverythingOnExec() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (!listing) return;
  const int own = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= STDERR_FILENO || fd == own) continue;
    const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
  }
  ::closedir(listing);
}

class PosixProcess final : public SupervisedProcess {
 public:
  explicit PosixProcess(pid_t pid) : pid_(pid) {}
  // A child forgotten while running keeps running, as on Windows; one that
  // has ended is reaped so no zombie stays behind.
  ~PosixProcess() override {
    if (!exited_) isRunning();
  }

  uint32_t pid() const override { return static_cast<uint32_t>(pid_); }

  std::optional<bool> isRunning() override {
    if (exited_) return false;
    const pid_t done = waitpid(pid_, nullptr, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      return false;
    }
    if (done == 0) return true;
    return std::nullopt;
  }

  void terminate(std::chrono::milliseconds wait) override {
    if (exited_) return;
    // The whole group: OpenVPN and anything it started.
    ::kill(-pid_, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (isRunning().value_or(false) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  pid_t pid_;
  bool exited_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

class PosixLauncher final : public ProcessLauncher {
 public:
  Result<std::unique_ptr<SupervisedProcess>, OsError> launch(const LaunchSpec& spec) override {
    SpawnAttributes spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    UniqueFd output;
    if (!spec.outputFile.empty()) {
      output.reset(::open(spec.outputFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    }
    if (spec.logFile >= 0) posix_spawn_file_actions_adddup2(&spawn.actions, static_cast<int>(spec.logFile), kChildLogFd);
    if (output) {
      posix_spawn_file_actions_adddup2(&spawn.actions, output.get(), 1);
      posix_spawn_file_actions_adddup2(&spawn.actions, output.get(), 2);
    }
    const auto folder = std::filesystem::path(spec.exe).parent_path();
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&spawn.actions, folder.c_str());

    // A process group of its own, so the hard stop reaches everything it started,
    // and default signal handling whatever the service blocks or ignores.
    posix_spawnattr_setpgroup(&spawn.attributes, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&spawn.attributes, &none);
    posix_spawnattr_setsigdefault(&spawn.attributes, &all);
    posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{spec.exe};
    words.insert(words.end(), spec.argumentVector.begin(), spec.argumentVector.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    // The kernel resolves /proc/self/fd/N in the child before the close-on-exec
    // descriptor goes, so the file started is the one held, whatever the
    // name points to by now.
    const std::string start = spec.exeFile >= 0 ? "/proc/self/fd/" + std::to_string(spec.exeFile) : spec.exe;
    closeEverythingOnExec();
    pid_t pid = -1;
    const int error = posix_spawn(&pid, start.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
    if (error != 0) return OsError{"posix_spawn", static_cast<uint32_t>(error)};
    return std::unique_ptr<SupervisedProcess>(std::make_unique<PosixProcess>(pid));
  }
};

}  // namespace

std::unique_ptr<ProcessLauncher> ProcessLauncher::create() { return std::make_unique<PosixLauncher>(); }

std::string childLogPath() { return "/proc/self/fd/" + std::to_string(kChildLogFd); }

}  // namespace vlvpn::service
