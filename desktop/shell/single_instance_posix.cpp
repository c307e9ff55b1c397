#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "desktop/shell/instance_name.h"
#include "desktop/shell/single_instance.h"
#include "desktop/tunnel/data_folder.h"

namespace vlvpn::shell {
namespace {

std::filesystem::path lockPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return std::filesystem::path(runtime) / (singleInstanceName() + ".lock");
  }
  return tunnel::dataFolder(tunnel::localDataBase()) / (singleInstanceName() + ".lock");
}

}  // namespace

bool claimSingleInstance() {
  const auto path = lockPath();
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  // Held, never closed, until the process ends; the kernel lets go then,
  // whatever way it ends.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return true;  // no lock to be had: run as the first, as Windows does
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  ::close(fd);
  return false;
}

}  // namespace vlvpn::shell
