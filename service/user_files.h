// Files the service reads or writes for a user without trusting the user.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "common/result.h"

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

}  // namespace vlvpn::service
