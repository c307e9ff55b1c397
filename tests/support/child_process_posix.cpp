#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "common/posix/unique_fd.h"
#include "tests/support/child_process_os.h"

extern char** environ;

namespace vlvpn::test {

struct ChildProcess::Os::State {
  pid_t pid = -1;
  UniqueFd input;
  UniqueFd output;
  std::optional<int> exitCode;
};

ChildProcess::Os::~Os() = default;

std::unique_ptr<ChildProcess::Os> ChildProcess::Os::spawn(const std::filesystem::path& program,
                                                          const std::vector<std::string>& args,
                                                          const EnvironmentOverrides& environment,
                                                          std::string& error) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  UniqueFd childIn(in[0]), parentIn(in[1]), parentOut(out[0]), childOut(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);

  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> envText;
  for (const auto& [name, value] : merged) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  std::vector<std::string> argvText{program.string()};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);

  auto os = std::make_unique<Os>();
  os->state = std::make_unique<State>();
  const int rc = posix_spawn(&os->state->pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = std::strerror(rc);
    return nullptr;
  }
  os->state->input = std::move(parentIn);
  os->state->output = std::move(parentOut);
  return os;
}

bool ChildProcess::Os::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(state->input.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void ChildProcess::Os::closeInput() { state->input.reset(); }

size_t ChildProcess::Os::read(char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(state->output.get(), buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

std::optional<int> ChildProcess::Os::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!state->exitCode) {
    int status = 0;
    const pid_t done = waitpid(state->pid, &status, WNOHANG);
    if (done == state->pid) {
      state->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return state->exitCode;
}

void ChildProcess::Os::requestStop() {
  if (!state->exitCode) ::kill(state->pid, SIGTERM);
}

uint32_t ChildProcess::Os::pid() const { return static_cast<uint32_t>(state->pid); }

void ChildProcess::Os::kill() {
  if (!state->exitCode) ::kill(state->pid, SIGKILL);
}

}  // namespace vlvpn::test
