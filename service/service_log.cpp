#include "service/service_log.h"

#include <cstdio>
#include <system_error>

namespace vlvpn::service {

std::string formatTimestamp(const LocalTime& t) {
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return stamp;
}

void rotateIfLarger(const std::filesystem::path& path, uintmax_t limit) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size <= limit) return;
  auto older = path;
  older += ".1";
  std::filesystem::remove(older, error);
  std::filesystem::rename(path, older, error);
}

ServiceLog::ServiceLog(std::filesystem::path path, std::function<LocalTime()> clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

void ServiceLog::write(std::string_view message) {
  if (path_.empty()) return;
  std::string line = formatTimestamp(clock_());
  line.append(message).append("\r\n");
  std::lock_guard lock(mutex_);
  // The file is let go of to be rotated (Windows renames no file held open).
  if (file_ && file_->size() > kLogRotateBytes) file_.reset();
  if (!file_) {
    rotateIfLarger(path_);
    file_ = LogFile::open(path_);
  }
  if (file_) file_->append(line);
}

}  // namespace vlvpn::service
