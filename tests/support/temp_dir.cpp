#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <random>
#include <string>

namespace vlvpn::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  const auto unique = std::to_string(seed()) + "-" + std::to_string(counter++);
  path_ = std::filesystem::temp_directory_path() / ("vlvpn-test-" + unique);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vlvpn::test
