// The per-user data folder of a program started by a test.
//
// On Linux a test points XDG_DATA_HOME at a temporary folder, so the program's
// data is the test's alone. Under Wine the local application-data folder comes
// from the prefix, which every test shares; there each test uses identifiers
// of its own.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"

namespace vlvpn::test {

class UserDataFolder {
 public:
  explicit UserDataFolder(const std::filesystem::path& scratch);

  EnvironmentOverrides environment() const;
  // An identifier no other test (or earlier run) uses.
  std::string uniqueProfileId(const std::string& stem) const;
  // The bytes of a file in a profile folder, "" when absent.
  std::string readProfileFile(const std::string& profileId, const std::string& fileName) const;

 private:
  std::filesystem::path scratch_;
};

}  // namespace vlvpn::test
