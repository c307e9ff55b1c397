#include "common/program_path.h"

#include <system_error>

namespace vlvpn {

std::filesystem::path programPath() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

}  // namespace vlvpn
