#include <unistd.h>

#include "tests/support/test_environment.h"

namespace vlvpn::test {

std::filesystem::path programFolder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

std::filesystem::path builtProgram(const std::string& baseName) { return programFolder() / baseName; }

bool consoleServiceShutsDownCleanly() { return true; }

}  // namespace vlvpn::test
