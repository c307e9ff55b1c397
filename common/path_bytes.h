// Byte strings from the user interface as path components, and back.
//
// On Windows a byte becomes one UTF-16 unit (widenBytes) and back
// (narrowUnits); on Linux paths are bytes already. Either way an identifier
// or file name round-trips through the file system unchanged.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vlvpn {

std::filesystem::path pathFromBytes(std::string_view bytes);
std::string bytesFromPath(const std::filesystem::path& path);

// Native text (UTF-16 on Windows) to UTF-8 and back, for paths that come from
// the system rather than from identifiers: dialogs, environment, messages.
std::string utf8FromPath(const std::filesystem::path& path);
std::filesystem::path pathFromUtf8(std::string_view utf8);

}  // namespace vlvpn
