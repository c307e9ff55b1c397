// Linux rules of the start policy: links and ownership.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "service/openvpn_start_policy.h"
#include "service/user_files.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

TEST(StartPolicyPosix, LinksAndWritableFoldersAreRefused) {
  test::TempDir dir;
  const auto allowed = dir.path() / "bin";
  std::filesystem::create_directories(allowed);
  std::filesystem::permissions(allowed, std::filesystem::perms(0755));
  // A link named openvpn in the allowed folder that leads to another program.
  std::filesystem::create_symlink("/bin/sh", allowed / "openvpn");
  EXPECT_FALSE(isAllowedOpenVpn((allowed / "openvpn").string(), {allowed}));
  std::filesystem::remove(allowed / "openvpn");

  std::ofstream(allowed / "openvpn") << "x";
  std::filesystem::permissions(allowed / "openvpn", std::filesystem::perms(0755));
  EXPECT_TRUE(isAllowedOpenVpn((allowed / "openvpn").string(), {allowed}));
  std::filesystem::permissions(allowed, std::filesystem::perms(0777));
  EXPECT_FALSE(isAllowedOpenVpn((allowed / "openvpn").string(), {allowed})) << "a folder anyone may write";
  std::filesystem::permissions(allowed, std::filesystem::perms(0755));
  std::filesystem::permissions(allowed / "openvpn", std::filesystem::perms(0757));
  EXPECT_FALSE(isAllowedOpenVpn((allowed / "openvpn").string(), {allowed})) << "a file anyone may write";

  EXPECT_TRUE(isAllowedOpenVpn("/usr/sbin/openvpn", allowedOpenVpnFolders(dir.path())) ||
              !std::filesystem::exists("/usr/sbin/openvpn"));
}

TEST(UserFiles, RefuseLinksWhereTheUserControlsThePath) {
  test::TempDir dir;
  const auto profile = dir.path() / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "p.ovpn") << "client\n";
  EXPECT_TRUE(isFreeOfLinks(profile));
  EXPECT_TRUE(readPlainFile(profile / "p.ovpn"));
  EXPECT_EQ(readPlainFile(profile / "p.ovpn").value(), "client\n");

  std::filesystem::create_symlink("/etc/passwd", profile / "auth.txt");
  EXPECT_FALSE(isAbsentOrPlainFile(profile / "auth.txt"));
  EXPECT_FALSE(readPlainFile(profile / "auth.txt"));
  EXPECT_TRUE(isAbsentOrPlainFile(profile / "openvpn.log"));
  std::filesystem::create_hard_link(profile / "p.ovpn", profile / "second-name");
  EXPECT_FALSE(isAbsentOrPlainFile(profile / "p.ovpn"));

  std::filesystem::create_directory_symlink(profile, dir.path() / "linked");
  EXPECT_FALSE(isFreeOfLinks(dir.path() / "linked"));

  const auto copy = dir.path() / "private.ovpn";
  std::ofstream(copy) << "old";
  ASSERT_TRUE(writePrivateFile(copy, "checked"));
  struct stat info {};
  ASSERT_EQ(::stat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::ifstream in(copy);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "checked");
}

}  // namespace
}  // namespace vlvpn::service
