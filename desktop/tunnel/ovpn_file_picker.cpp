#include "desktop/tunnel/ovpn_file_picker.h"

#include "common/file_bytes.h"
#include "common/path_bytes.h"

namespace vlvpn::tunnel {

PickedFile describePickedFile(std::string_view pathUtf8, char separator, std::string content) {
  if (content.size() >= 3 && content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

  PickedFile picked;
  picked.content = std::move(content);
  const size_t cut = pathUtf8.rfind(separator);
  if (cut == std::string_view::npos) {
    picked.fileName = std::string(pathUtf8);
  } else {
    picked.fileName = std::string(pathUtf8.substr(cut + 1));
    picked.sourceDirectory = std::string(pathUtf8.substr(0, cut));
  }
  return picked;
}

PickedFile readPickedFile(const std::filesystem::path& path) {
  return describePickedFile(utf8FromPath(path), static_cast<char>(std::filesystem::path::preferred_separator),
                            readFileBytes(path).value_or(""));
}

}  // namespace vlvpn::tunnel
