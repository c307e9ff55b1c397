#include <windows.h>

#include "common/program_path.h"

namespace vlvpn {

std::filesystem::path programPath() {
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::filesystem::path(buffer);
}

}  // namespace vlvpn
