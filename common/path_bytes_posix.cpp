#include "common/path_bytes.h"

namespace vlvpn {

std::filesystem::path pathFromBytes(std::string_view bytes) { return std::filesystem::path(std::string(bytes)); }
std::string bytesFromPath(const std::filesystem::path& path) { return path.native(); }
std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }
std::filesystem::path pathFromUtf8(std::string_view utf8) { return std::filesystem::path(std::string(utf8)); }

}  // namespace vlvpn
