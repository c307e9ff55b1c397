#include "desktop/tunnel/data_folder.h"
#include "tests/support/user_data.h"

namespace vlvpn::test {

// The program under test runs as the same user in the same prefix.
std::filesystem::path userDataBase(const std::filesystem::path&) { return tunnel::localDataBase(); }

EnvironmentOverrides UserDataFolder::environment() const { return {}; }

}  // namespace vlvpn::test
