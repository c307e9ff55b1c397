#include <windows.h>

#include "tests/support/test_environment.h"

namespace vlvpn::test {

std::filesystem::path programFolder() {
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::filesystem::path(buffer).parent_path();
}

std::filesystem::path builtProgram(const std::string& baseName) { return programFolder() / (baseName + ".exe"); }

bool consoleServiceShutsDownCleanly() { return false; }

}  // namespace vlvpn::test
