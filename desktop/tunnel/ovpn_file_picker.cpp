#include "desktop/tunnel/ovpn_file_picker.h"

#include <fstream>
#include <iterator>

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
  std::string content;
  if (std::ifstream in(path, std::ios::binary); in) {
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return describePickedFile(utf8FromPath(path), static_cast<char>(std::filesystem::path::preferred_separator),
                            std::move(content));
}

}  // namespace vlvpn::tunnel
