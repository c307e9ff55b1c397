// "killswitch.log": one line per event, stamped with the local time to the
// millisecond, kept to one older generation (".1") above 1,048,576 bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace vlvpn::service {

inline constexpr uintmax_t kLogRotateBytes = 1'048'576;

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

LocalTime localTimeNow();  // per platform

// "2026-12-08 19:35:52.123 "
std::string formatTimestamp(const LocalTime& time);

// Moves `path` to `path` + ".1" (replacing it) when `path` is larger than
// `limit` bytes. Failures are ignored: the worst case is a longer file.
void rotateIfLarger(const std::filesystem::path& path, uintmax_t limit = kLogRotateBytes);

// The file in the service's data folder, creating the folder when needed
// with room for the service's account and administrators only (Windows: a
// protected DACL for SYSTEM and Administrators; Linux: 0700).
// Windows: %ProgramData%\VelmoraVPN; Linux: $ProgramData/VelmoraVPN, else
// /var/lib/VelmoraVPN. Empty when ProgramData is unset or too long
// (Windows), or when the folder found there is a link or junction, belongs
// to another user or is writable by others: then nothing is written there,
// and the reason goes once to standard error.
std::filesystem::path serviceDataPath(std::string_view fileName);

// The log file, held open from its first line until it is rotated (one
// write a line). Made for the service's account only when new; the handle is
// not inherited by child processes and shares reading only.
class LogFile {
 public:
  virtual ~LogFile() = default;
  // False when the line could not be written whole.
  virtual bool append(std::string_view line) = 0;
  // Its size: as found when opened, and what was appended since.
  virtual uintmax_t size() const = 0;

  // Null when the file cannot be opened.
  static std::unique_ptr<LogFile> open(const std::filesystem::path& path);  // per platform
};

// Why `folder` may not hold the service's files, or "" when it may.
std::string unsafeDataFolderReason(const std::filesystem::path& folder);  // per platform

class ServiceLog {
 public:
  // An empty path logs nothing.
  explicit ServiceLog(std::filesystem::path path, std::function<LocalTime()> clock = localTimeNow);

  // Appends one line; the message is UTF-8 without line end. Never fails
  // towards the caller: a line that cannot be written is dropped.
  void write(std::string_view message);

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::function<LocalTime()> clock_;
  std::mutex mutex_;
  std::unique_ptr<LogFile> file_;  // under mutex_
};

}  // namespace vlvpn::service
