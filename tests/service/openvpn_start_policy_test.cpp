#include "service/openvpn_start_policy.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/path_bytes.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

std::string argsFor(const std::string& config, const std::string& auth, const std::string& log) {
  return formatOpenVpnArguments({config, auth.empty() ? std::nullopt : std::optional(auth), log});
}

TEST(StartPolicy, AcceptsOnlyPlainAbsolutePaths) {
  struct Case {
    const char* path;
    const PathStyle& style;
    bool plain;
  };
  const Case cases[] = {
      {"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", kWindowsPaths, true},
      {"c:/x/openvpn.exe", kWindowsPaths, true},
      {"C:\\x\\..\\openvpn.exe", kWindowsPaths, false},
      {"C:\\x\\.\\openvpn.exe", kWindowsPaths, false},
      {"C:\\x\\\\openvpn.exe", kWindowsPaths, false},
      {"\\\\server\\share\\openvpn.exe", kWindowsPaths, false},
      {"\\\\?\\C:\\x\\openvpn.exe", kWindowsPaths, false},
      {"\\\\.\\pipe\\x", kWindowsPaths, false},
      {"C:openvpn.exe", kWindowsPaths, false},
      {"openvpn.exe", kWindowsPaths, false},
      {"C:\\x\\openvpn.exe:stream", kWindowsPaths, false},
      {"/usr/sbin/openvpn", kPosixPaths, true},
      {"/usr/sbin/../bin/sh", kPosixPaths, false},
      {"usr/sbin/openvpn", kPosixPaths, false},
      {"/usr//sbin/openvpn", kPosixPaths, false},
      {"/usr/sbin/", kPosixPaths, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(plainAbsolutePath(c.path, c.style).has_value(), c.plain);
  }
}

TEST(StartPolicy, AcceptsTheDesktopProgramsArgumentsForOneProfile) {
  const std::string folder = "C:\\Users\\me\\AppData\\Local\\VLVPNDesk\\profiles\\home\\";
  const std::string good = argsFor(folder + "home.ovpn", folder + "auth.txt", folder + "openvpn.log");
  ASSERT_TRUE(checkProfileArguments(good, kWindowsPaths));
  EXPECT_TRUE(checkProfileArguments(argsFor(folder + "home.ovpn", "", folder + "openvpn.log"), kWindowsPaths));
  EXPECT_TRUE(checkProfileArguments(argsFor("/home/me/.local/share/VLVPNDesk/profiles/p/p.ovpn", "",
                                            "/home/me/.local/share/VLVPNDesk/profiles/p/openvpn.log"),
                                    kPosixPaths));

  const std::string other = "C:\\Users\\me\\AppData\\Local\\VLVPNDesk\\profiles\\work\\";
  const std::string root = "C:\\Users\\me\\AppData\\Local\\VLVPNDesk\\profiles\\";
  struct Case {
    const char* why;
    std::string args;
  };
  const Case refused[] = {
      {"extra option", good + " --up C:\\evil.bat"},
      {"missing option", good.substr(0, good.rfind(" --windows-driver"))},
      {"log elsewhere", argsFor(folder + "home.ovpn", folder + "auth.txt", "C:\\Windows\\System32\\openvpn.log")},
      {"log renamed", argsFor(folder + "home.ovpn", folder + "auth.txt", folder + "evil.dll")},
      {"credentials renamed", argsFor(folder + "home.ovpn", folder + "shadow", folder + "openvpn.log")},
      {"two profiles", argsFor(folder + "home.ovpn", other + "auth.txt", folder + "openvpn.log")},
      {"traversal", argsFor(folder + "..\\..\\..\\x.ovpn", folder + "auth.txt", folder + "openvpn.log")},
      {"not a profile folder", argsFor("C:\\Temp\\x\\a.ovpn", "", "C:\\Temp\\x\\openvpn.log")},
      {"profiles of another program", argsFor("C:\\A\\Other\\profiles\\p\\a.ovpn", "", "C:\\A\\Other\\profiles\\p\\openvpn.log")},
      {"UNC", argsFor("\\\\srv\\VLVPNDesk\\profiles\\p\\a.ovpn", "", "\\\\srv\\VLVPNDesk\\profiles\\p\\openvpn.log")},
      {"config is the log", argsFor(folder + "openvpn.log", "", folder + "openvpn.log")},
      {"stream", argsFor(folder + "home.ovpn:x", "", folder + "openvpn.log")},
      {"a device as the profile", argsFor(root + "CON\\a.ovpn", "", root + "CON\\openvpn.log")},
      {"a device as the configuration", argsFor(folder + "nul.ovpn", "", folder + "openvpn.log")},
      {"a tab in the profile", argsFor(root + "a\tb\\a.ovpn", "", root + "a\tb\\openvpn.log")},
      {"a trailing dot", argsFor(root + "p.\\a.ovpn", "", root + "p.\\openvpn.log")},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.why);
    EXPECT_FALSE(checkProfileArguments(c.args, kWindowsPaths));
  }

  // The management interface's password, beside the configuration, named as
  // the desktop program names it.
  const auto withPassword = [&](const std::string& password, const std::string& config = "home.ovpn") {
    OpenVpnArguments arguments{folder + config, folder + "auth.txt", folder + "openvpn.log"};
    arguments.managementPasswordPath = password;
    return formatOpenVpnArguments(arguments);
  };
  EXPECT_TRUE(checkProfileArguments(withPassword(folder + "management.txt"), kWindowsPaths));
  EXPECT_FALSE(checkProfileArguments(withPassword(other + "management.txt"), kWindowsPaths)) << "another profile's";
  EXPECT_FALSE(checkProfileArguments(withPassword(folder + "auth.txt"), kWindowsPaths)) << "another file";
  EXPECT_FALSE(checkProfileArguments(withPassword("C:\\Windows\\win.ini"), kWindowsPaths));
  EXPECT_FALSE(checkProfileArguments(withPassword(folder + "management.txt", "management.txt"), kWindowsPaths))
      << "the password as the configuration";
  EXPECT_TRUE(checkProfileArguments(argsFor("C:\\u\\vlvpndesk\\PROFILES\\p\\a.ovpn", "", "C:\\u\\VLVPNDesk\\profiles\\p\\OpenVPN.log"),
                                    kWindowsPaths))
      << "Windows names compare without regard to case";
  EXPECT_FALSE(checkProfileArguments(argsFor("/u/vlvpndesk/profiles/p/a.ovpn", "", "/u/vlvpndesk/profiles/p/openvpn.log"),
                                     kPosixPaths));
}

TEST(StartPolicy, ExecutablesMustBeOpenVpnInAnAllowedFolder) {
  test::TempDir dir;
  const auto allowed = dir.path() / "bin";
  const auto elsewhere = dir.path() / "elsewhere";
  std::filesystem::create_directories(allowed);
  std::filesystem::create_directories(elsewhere);
  const std::string exeName = isOpenVpnFileName("openvpn.exe") ? "openvpn.exe" : "openvpn";
  std::ofstream(allowed / exeName) << "x";
  std::ofstream(elsewhere / exeName) << "x";
  std::ofstream(allowed / "sh") << "x";
  const std::vector<std::filesystem::path> folders{allowed};

  EXPECT_TRUE(isAllowedOpenVpn(utf8FromPath(allowed / exeName), folders));
  EXPECT_FALSE(isAllowedOpenVpn(utf8FromPath(elsewhere / exeName), folders));
  EXPECT_FALSE(isAllowedOpenVpn(utf8FromPath(allowed / "sh"), folders));
  EXPECT_FALSE(isAllowedOpenVpn(utf8FromPath(allowed) + "/../bin/" + exeName, folders));
  EXPECT_FALSE(isAllowedOpenVpn(exeName, folders)) << "relative";
  EXPECT_FALSE(isAllowedOpenVpn(utf8FromPath(allowed / "missing" / exeName), folders));
}

}  // namespace
}  // namespace vlvpn::service
