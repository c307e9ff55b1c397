#include "tests/support/user_data.h"

#include <fstream>
#include <iterator>
#include <random>

#include "common/path_bytes.h"
#include "desktop/tunnel/data_folder.h"

namespace vlvpn::test {

std::filesystem::path userDataBase(const std::filesystem::path& scratch);  // per platform

UserDataFolder::UserDataFolder(const std::filesystem::path& scratch) : scratch_(scratch) {}

std::string UserDataFolder::uniqueProfileId(const std::string& stem) const {
  std::random_device seed;
  return stem + "-" + std::to_string(seed()) + std::to_string(seed());
}

std::string UserDataFolder::readProfileFile(const std::string& profileId, const std::string& fileName) const {
  const auto path = tunnel::dataFolder(userDataBase(scratch_)) / "profiles" / pathFromBytes(profileId) / fileName;
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vlvpn::test
