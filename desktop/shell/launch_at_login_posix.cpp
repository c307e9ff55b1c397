#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "common/posix/unique_fd.h"
#include "common/program_path.h"
#include "desktop/shell/launch_at_login.h"
#include "desktop/shell/launch_entries.h"

namespace vlvpn::shell {
namespace {

bool writeAtomically(const std::filesystem::path& path, const std::string& content) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  const auto temporary = path.string() + ".tmp";
  {
    UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file) return false;
    if (::write(file.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) return false;
  }
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

std::filesystem::path autostartEntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (config && *config == '/') {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return base / "autostart" / "VelmoraVPN.desktop";
}

bool applyLaunchAtLogin(bool enabled) {
  const auto path = autostartEntryPath();
  if (path.empty()) return false;
  if (enabled) {
    const auto entry = autostartEntry(programPath().string());
    if (entry) writeAtomically(path, *entry);
  } else {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  return readLaunchAtLogin() == enabled;
}

bool readLaunchAtLogin() {
  const auto path = autostartEntryPath();
  std::error_code ignored;
  return !path.empty() && std::filesystem::exists(path, ignored);
}

}  // namespace vlvpn::shell
