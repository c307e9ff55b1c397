// The Linux file store of secrets, used when no Secret Service answers.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "desktop/services/secret_store.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::services {
namespace {

TEST(SecretFiles, AreTheUsersAloneAndReplacedWhole) {
  test::TempDir scratch;
  FileSecretStore store(scratch.path() / "secrets");
  ASSERT_TRUE(store.write(keychainTarget("svc", "acct"), "first"));
  ASSERT_TRUE(store.write(keychainTarget("svc", "acct"), std::string("s\xC3\xA9" "cret\0x", 9)));
  EXPECT_EQ(store.read("svc/acct"), std::string("s\xC3\xA9" "cret\0x", 9)) << "byte for byte";
  struct stat folder {}, file {};
  ASSERT_EQ(::stat((scratch.path() / "secrets").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(scratch.path() / "secrets")) {
    ++files;
    ASSERT_EQ(::stat(entry.path().c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(entry.path().extension(), "") << "no half-written file left beside";
  }
  EXPECT_EQ(files, 1u);
  store.remove("svc/acct");
  EXPECT_EQ(store.read("svc/acct"), "");
  EXPECT_EQ(keychainTarget("", ""), "/");
}

}  // namespace
}  // namespace vlvpn::services
