// The full path of the running program's own executable.
#pragma once

#include <filesystem>

namespace vlvpn {

std::filesystem::path programPath();  // per platform

}  // namespace vlvpn
