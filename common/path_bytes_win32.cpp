#include "common/path_bytes.h"

#include "common/text.h"
#include "common/win32/wide.h"

namespace vlvpn {

std::filesystem::path pathFromBytes(std::string_view bytes) { return std::filesystem::path(toWide(widenBytes(bytes))); }
std::string bytesFromPath(const std::filesystem::path& path) { return narrowUnits(fromWide(path.native())); }
std::string utf8FromPath(const std::filesystem::path& path) { return utf16ToUtf8(fromWide(path.native())); }
std::filesystem::path pathFromUtf8(std::string_view utf8) { return std::filesystem::path(toWide(utf8ToUtf16(utf8))); }

}  // namespace vlvpn
