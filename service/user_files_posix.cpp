#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/posix/unique_fd.h"
#include "service/user_files.h"

namespace vlvpn::service {

bool isFreeOfLinks(const std::filesystem::path& folder) {
  std::filesystem::path prefix;
  for (const auto& component : folder) {
    prefix /= component;
    struct stat info {};
    if (::lstat(prefix.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
  }
  return true;
}

bool isAbsentOrPlainFile(const std::filesystem::path& file) {
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

Result<std::string, OsError> readPlainFile(const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return OsError{"open", static_cast<uint32_t>(errno)};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return OsError{"fstat", static_cast<uint32_t>(errno)};
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) return OsError{"fstat", EPERM};
  if (static_cast<uint64_t>(info.st_size) > kMaxUserFileBytes) return OsError{"read", EFBIG};
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
      if (content.size() > kMaxUserFileBytes) return OsError{"read", EFBIG};  // it grew meanwhile
    } else if (n == 0) {
      return content;
    } else if (errno != EINTR) {
      return OsError{"read", static_cast<uint32_t>(errno)};
    }
  }
}

Result<void, OsError> writePrivateFile(const std::filesystem::path& file, const std::string& content) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return OsError{"unlink", static_cast<uint32_t>(errno)};
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return OsError{"open", static_cast<uint32_t>(errno)};
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return OsError{"write", static_cast<uint32_t>(errno)};
    done += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace vlvpn::service
