#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "common/posix/unique_fd.h"
#include "service/service_log.h"

namespace vlvpn::service {

LocalTime localTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1'000'000)};
}

std::string unsafeDataFolderReason(const std::filesystem::path& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return "cannot be examined (" + std::to_string(errno) + ")";
  if (S_ISLNK(info.st_mode)) return "is a link";
  if (!S_ISDIR(info.st_mode)) return "is not a folder";
  if (info.st_uid != ::geteuid()) return "belongs to another user";
  if (info.st_mode & (S_IWGRP | S_IWOTH)) return "may be written by others";
  return {};
}

std::filesystem::path serviceDataPath(std::string_view fileName) {
  const char* programData = std::getenv("ProgramData");
  const std::filesystem::path folder = programData && *programData
                                           ? std::filesystem::path(programData) / "VelmoraVPN"
                                           : std::filesystem::path("/var/lib/VelmoraVPN");
  ::mkdir(folder.c_str(), 0700);  // normally there already
  if (const std::string reason = unsafeDataFolderReason(folder); !reason.empty()) {
    static std::once_flag reported;
    std::call_once(reported, [&] {
      std::fprintf(stderr, "VLVPNKillSwitch: not using %s: it %s\n", folder.c_str(), reason.c_str());
    });
    return {};
  }
  return folder / fileName;
}

namespace {

class PosixLogFile final : public LogFile {
 public:
  PosixLogFile(UniqueFd fd, uintmax_t size) : fd_(std::move(fd)), size_(size) {}

  bool append(std::string_view line) override {
    while (!line.empty()) {
      const ssize_t n = ::write(fd_.get(), line.data(), line.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      size_ += static_cast<uintmax_t>(n);
      line.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  uintmax_t size() const override { return size_; }

 private:
  UniqueFd fd_;
  uintmax_t size_;
};

}  // namespace

std::unique_ptr<LogFile> LogFile::open(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) return nullptr;
  return std::make_unique<PosixLogFile>(std::move(fd), static_cast<uintmax_t>(info.st_size));
}

}  // namespace vlvpn::service
