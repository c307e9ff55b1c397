// The interface's settings: one file per key under <data>/VLVPNDesk/prefs,
// holding the value's bytes exactly as written.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vlvpn::services {

// The key as a file name: ASCII letters, digits, '_', '-' and '.' stay,
// every other byte becomes '_'; the empty key is "pref".
std::string preferenceFileName(std::string_view key);

class PreferenceStore {
 public:
  // `prefsFolder` is made, with its parents, on every use.
  explicit PreferenceStore(std::filesystem::path prefsFolder) : folder_(std::move(prefsFolder)) {}

  // Fails with "create_directories" and the path when the folder cannot be
  // made, and with "Could not write preference <key>" when the file cannot
  // be written whole.
  Result<void> write(std::string_view key, std::string_view value) const;
  // The stored bytes; empty when there is no readable file for the key.
  Result<std::string> read(std::string_view key) const;

 private:
  Result<std::filesystem::path> pathFor(std::string_view key) const;
  std::filesystem::path folder_;
};

}  // namespace vlvpn::services
