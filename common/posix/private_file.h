// A file only its owner may read, written whole.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/result.h"

namespace vlvpn {

// Replaces `file` with a new file of mode 0600 from its creation on, so that
// no descriptor anyone opened on an older file sees the content; a link at
// the name is removed, never followed. The failing call and its errno.
Result<void, OsError> writeNewPrivateFile(const std::filesystem::path& file, std::string_view content);

}  // namespace vlvpn
