// The service's data folder holds its log and the checked copies of users'
// configurations: it must be the service's alone, or not be used at all.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/openvpn_arguments.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// A real profile and the request the desktop program would send for it.
std::string startRequestFor(const fs::path& scratch) {
  const auto profile = scratch / "home" / "VLVPNDesk" / "profiles" / "p";
  fs::create_directories(profile);
  std::ofstream(profile / "p.ovpn") << "client\ndev tun\nremote 127.0.0.1 1194\n";
  return "OPENVPN_START\t/usr/sbin/openvpn\t" +
         formatOpenVpnArguments({(profile / "p.ovpn").string(), std::nullopt, (profile / "openvpn.log").string()});
}

TEST(ServiceDataFolder, IsMadeForTheServiceAlone) {
  VLVPN_REQUIRE_ENVIRONMENT(geteuid() == 0, "needs root, as the service runs");
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  EXPECT_EQ(modeOf(service.dataFolder), 0700u);
  EXPECT_EQ(modeOf(service.dataFolder / "killswitch.log"), 0600u);
}

TEST(ServiceDataFolder, AFolderSomeoneElseControlsIsNotUsed) {
  VLVPN_REQUIRE_ENVIRONMENT(geteuid() == 0, "needs root to hand a folder to another user");
  VLVPN_REQUIRE_ENVIRONMENT(fs::exists("/usr/sbin/openvpn"), "needs Debian's openvpn");
  struct Case {
    const char* why;
    void (*prepare)(const fs::path& folder, const fs::path& elsewhere);
  };
  const Case cases[] = {
      {"a link", [](const fs::path& folder, const fs::path& elsewhere) { fs::create_directory_symlink(elsewhere, folder); }},
      {"another user's", [](const fs::path& folder, const fs::path&) {
         fs::create_directory(folder);
         ASSERT_EQ(::chown(folder.c_str(), 1000, 1000), 0);
       }},
      {"writable by others", [](const fs::path& folder, const fs::path&) {
         fs::create_directory(folder);
         fs::permissions(folder, fs::perms::all);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TempDir scratch;
    const auto elsewhere = scratch.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(scratch.path() / "ProgramData");
    c.prepare(scratch.path() / "ProgramData" / "VelmoraVPN", elsewhere);
    const std::string start = startRequestFor(scratch.path());

    KillSwitchService service(scratch.path());
    ASSERT_TRUE(service.waitUntilAnswering()) << "it keeps answering";
    EXPECT_EQ(service.request("DISABLE"), "OK") << "and filtering";
    EXPECT_EQ(service.request(start), "ERR config_not_allowed") << "but starts nothing";
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_FALSE(fs::exists(scratch.path() / "ProgramData" / "VelmoraVPN" / "killswitch.log"));
  }
}

}  // namespace
}  // namespace vlvpn::test
