#include "common/path_component.h"

#include <array>

#include "common/text.h"

namespace vlvpn {
namespace {

bool isReservedDeviceName(std::string_view name) {
  // "nul.txt" names the device as well as "nul".
  const std::string stem = asciiUpper(name.substr(0, name.find('.')));
  for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
    if (stem == device) return true;
  }
  if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT"))) return stem[3] >= '1' && stem[3] <= '9';
  return false;
}

}  // namespace

bool isPortablePathComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string_view("/\\:\"<>|?*").find(static_cast<char>(c)) != std::string_view::npos) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !isReservedDeviceName(name);
}

}  // namespace vlvpn
