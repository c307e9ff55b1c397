#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "desktop/services/applications.h"

namespace vlvpn::services {
namespace {

// The calling user's processes only, even for root: ending other users'
// programs is never what a user's own setting asks for.
std::vector<RunningProcess> ownProcesses() {
  std::vector<RunningProcess> processes;
  std::error_code error;
  const uid_t me = ::getuid();
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat info {};
    if (::stat(entry.path().c_str(), &info) != 0 || info.st_uid != me) continue;
    const auto pid = static_cast<uint32_t>(std::stoul(name));
    if (pid == static_cast<uint32_t>(::getpid())) continue;
    std::error_code linkError;
    const auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
    if (linkError) continue;
    processes.push_back({pid, exe.filename().string()});
  }
  return processes;
}

}  // namespace

std::string_view nativePathSeparators() { return "/"; }

std::optional<std::string> chooseApplicationFile() {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return std::nullopt;
  if (::access("/usr/bin/zenity", X_OK) != 0) return std::nullopt;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(fds[1], 1);
    ::execl("/usr/bin/zenity", "zenity", "--file-selection", "--title=Choose an app to close when the VPN drops",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string chosen;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) chosen.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r')) chosen.pop_back();
  if (chosen.empty()) return std::nullopt;
  return chosen;
}

std::vector<std::string> terminateApplications(const std::vector<std::string>& names) {
  std::vector<std::string> ended;
  for (const auto& process : matchingProcesses(ownProcesses(), names)) {
    if (::kill(static_cast<pid_t>(process.pid), SIGKILL) == 0) ended.push_back(process.exeFileName);
  }
  return ended;
}

}  // namespace vlvpn::services
