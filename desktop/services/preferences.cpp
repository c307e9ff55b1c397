#include "desktop/services/preferences.h"

#include <system_error>

#include "common/file_bytes.h"

namespace vlvpn::services {
namespace {

bool keepsItsByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

}  // namespace

std::string preferenceFileName(std::string_view key) {
  if (key.empty()) return "pref";
  std::string name(key);
  for (char& c : name) {
    if (!keepsItsByte(c)) c = '_';
  }
  return name;
}

Result<std::filesystem::path> PreferenceStore::pathFor(std::string_view key) const {
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) {
    // The same words as the file-system error would carry.
    return Error{"create_directories: " + error.message() + " [" + folder_.string() + "]"};
  }
  return folder_ / preferenceFileName(key);
}

Result<void> PreferenceStore::write(std::string_view key, std::string_view value) const {
  auto path = pathFor(key);
  if (!path) return path.error();
  if (!writeFileBytes(path.value(), value)) return Error{"Could not write preference " + std::string(key)};
  return {};
}

Result<std::string> PreferenceStore::read(std::string_view key) const {
  auto path = pathFor(key);
  if (!path) return path.error();
  return readFileBytes(path.value()).value_or(std::string());
}

}  // namespace vlvpn::services
