#include "common/posix/subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/posix/unique_fd.h"

extern char** environ;

namespace vlvpn {
namespace {

class SpawnFileActions {
 public:
  SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

Result<ProcessOutput, OsError> runCapturingOutput(const std::vector<std::string>& argv, StandardError standardError) {
  if (argv.empty()) return OsError{"posix_spawnp", EINVAL};

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return OsError{"pipe", static_cast<uint32_t>(errno)};
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnFileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), 1);
  if (standardError == StandardError::Discard) {
    posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
  }

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int spawnError = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  writeEnd.reset();
  if (spawnError != 0) return OsError{"posix_spawnp", static_cast<uint32_t>(spawnError)};

  ProcessOutput output;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.standardOutput.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return OsError{"waitpid", static_cast<uint32_t>(errno)};
  }
  output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

}  // namespace vlvpn
