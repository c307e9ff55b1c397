#include "common/posix/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/posix/unique_fd.h"

namespace vlvpn {

Result<void, OsError> writeNewPrivateFile(const std::filesystem::path& file, std::string_view content) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return OsError{"unlink", static_cast<uint32_t>(errno)};
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return OsError{"open", static_cast<uint32_t>(errno)};
  while (!content.empty()) {
    const ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return OsError{"write", static_cast<uint32_t>(errno)};
    content.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace vlvpn
