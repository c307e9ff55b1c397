#include "tests/support/user_data.h"

namespace vlvpn::test {

std::filesystem::path userDataBase(const std::filesystem::path& scratch) { return scratch; }

EnvironmentOverrides UserDataFolder::environment() const { return {{"XDG_DATA_HOME", scratch_.string()}}; }

}  // namespace vlvpn::test
