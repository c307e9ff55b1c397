// Files the service reads or writes for a user without trusting the user.
#pragma once

#include <chrono>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <string>

#include "common/openvpn_arguments.h"
#include "common/result.h"
#include "service/dispatcher.h"

namespace vlvpn::service {

// True when no component of `folder` is a symbolic link, junction or other
// reparse point, so the path means what it says.
bool isFreeOfLinks(const std::filesystem::path& folder);

// True when `file` is absent, or is a regular file that is not a link and has
// no other names (hard links).
bool isAbsentOrPlainFile(const std::filesystem::path& file);

// The most the service reads of a user's file; a larger one is refused
// rather than read (a sparse file of gigabytes costs the user nothing).
inline constexpr size_t kMaxUserFileBytes = 1 << 20;

// Reads a regular file of at most kMaxUserFileBytes without following a link
// at its last component; a larger one fails with "read" and EFBIG
// (ERROR_FILE_TOO_LARGE on Windows).
Result<std::string, OsError> readPlainFile(const std::filesystem::path& file);

// Replaces `file` by a new file only the service's account can change, and
// writes `content` to it.
Result<void, OsError> writePrivateFile(const std::filesystem::path& file, const std::string& content);

// A file opened on a user's behalf; closed with the object. Linux: a
// descriptor; Windows: a HANDLE; -1 is empty.
class OpenedFile {
 public:
  OpenedFile() = default;
  explicit OpenedFile(intptr_t native) : native_(native) {}
  OpenedFile(OpenedFile&& other) noexcept : native_(std::exchange(other.native_, -1)) {}
  OpenedFile& operator=(OpenedFile&& other) noexcept {
    if (this != &other) {
      close();
      native_ = std::exchange(other.native_, -1);
    }
    return *this;
  }
  ~OpenedFile() { close(); }
  intptr_t native() const { return native_; }
  explicit operator bool() const { return native_ >= 0; }

 private:
  void close();  // per platform
  intptr_t native_ = -1;
};

// The files of one OpenVPN start as the requesting user may have them:
// the configuration and the credentials read, and the log opened for
// writing (created for them, emptied), each reached without following a
// link anywhere in its path (Windows: through no junction or link, and
// only what the client's token is granted). With no known user the files
// are read with the service's rights as readPlainFile does, and no log is
// opened. Fails when the user may not read a file, a file is too large, or
// a path holds a link.
struct UserProfileFiles {
  std::string config;
  std::optional<std::string> credentials;
  std::optional<std::string> managementPassword;
  OpenedFile log;
};
Result<UserProfileFiles, OsError> openUserProfileFiles(const Requester& requester, const OpenVpnArguments& arguments);

// How long reading a user's files may take. A reader that has not finished
// by then (a file the user made block: a FIFO, an opportunistic lock never
// released) is given up and the error's code is kUserFilesTimedOut
// (ETIMEDOUT; Windows: ERROR_TIMEOUT).
inline constexpr std::chrono::milliseconds kUserFilesDeadline{5000};
extern const uint32_t kUserFilesTimedOut;

// The configuration, then the credentials and the management password where
// `arguments` name them, in that order, each got by `read(path)` (a
// Result<std::string, OsError>); the first failure is the answer. No log.
template <class Read>
Result<UserProfileFiles, OsError> readProfileTexts(const OpenVpnArguments& arguments, Read&& read) {
  UserProfileFiles files;
  auto config = read(arguments.configPath);
  if (!config) return config.error();
  files.config = std::move(config).value();
  if (arguments.credentialsPath) {
    auto credentials = read(*arguments.credentialsPath);
    if (!credentials) return credentials.error();
    files.credentials = std::move(credentials).value();
  }
  if (arguments.managementPasswordPath) {
    auto password = read(*arguments.managementPasswordPath);
    if (!password) return password.error();
    files.managementPassword = std::move(password).value();
  }
  return files;
}

// The configuration and the credentials read with the service's rights
// (readPlainFile), and no log: what a request from no known user gets.
Result<UserProfileFiles, OsError> readProfileFilesAsService(const OpenVpnArguments& arguments);

}  // namespace vlvpn::service
