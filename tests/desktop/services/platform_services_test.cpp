// The rules of the platform services as values, and the stores on disk.
#include <gtest/gtest.h>

#include <fstream>

#include "desktop/services/applications.h"
#include "desktop/services/device_info.h"
#include "desktop/services/preferences.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::services {
namespace {

TEST(PreferenceKeys, KeepPlainBytesAndReplaceEveryOther) {
  EXPECT_EQ(preferenceFileName("theme.dark-mode_2"), "theme.dark-mode_2");
  EXPECT_EQ(preferenceFileName("a b/c"), "a_b_c");
  EXPECT_EQ(preferenceFileName("\xC3\xA9"), "__") << "each byte of a two-byte character";
  EXPECT_EQ(preferenceFileName("..\\x"), ".._x");
  EXPECT_EQ(preferenceFileName(""), "pref");
}

TEST(Preferences, StoreBytesExactlyAndSayWhenTheyCouldNot) {
  test::TempDir scratch;
  PreferenceStore store(scratch.path() / "VLVPNDesk" / "prefs");
  ASSERT_TRUE(store.write("k", "first"));
  ASSERT_TRUE(store.write("k", "a\r\nb"));
  EXPECT_EQ(store.read("k").value(), "a\r\nb") << "the second value, line ends kept";
  ASSERT_TRUE(store.write("empty", ""));
  EXPECT_TRUE(std::filesystem::exists(scratch.path() / "VLVPNDesk" / "prefs" / "empty"));
  EXPECT_EQ(store.read("missing").value(), "");

  // A folder that cannot be made: a file stands where it would go.
  std::ofstream(scratch.path() / "blocked") << "x";
  PreferenceStore blocked(scratch.path() / "blocked" / "prefs");
  const auto failed = blocked.write("k", "v");
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message.find("create_directories"), std::string::npos) << failed.error().message;
  EXPECT_NE(failed.error().message.find("blocked"), std::string::npos);

  // A key whose file cannot be written (a folder has its name).
  std::filesystem::create_directories(scratch.path() / "VLVPNDesk" / "prefs" / "taken");
  EXPECT_EQ(store.write("taken", "v").error().message, "Could not write preference taken");
}

TEST(DeviceModel, SkipsPlaceholdersAndFallsBackToTheMaker) {
  const auto model = [](std::string product, std::string maker) {
    return deviceModelFrom({std::move(product), std::move(maker), "", "", "", ""}, "Windows PC");
  };
  EXPECT_EQ(model("  Latitude 7440 \t", "Dell Inc."), "Latitude 7440");
  EXPECT_EQ(model("to be filled by o.e.m.", "ASUS"), "ASUS PC");
  EXPECT_EQ(model("To be filled by O.E.M.", ""), "Windows PC");
  EXPECT_EQ(model("To be filled by O.E.M.", "TO BE FILLED BY O.E.M."), "Windows PC");
  EXPECT_EQ(model("Default string", "Default string"), "Default string PC") << "only one placeholder is no maker";
  EXPECT_EQ(model("SYSTEM PRODUCT NAME", "Lenovo"), "Lenovo PC");
  EXPECT_EQ(model("Surface\r\nLaptop", ""), "Surface Laptop");
  EXPECT_EQ(model("", ""), "Windows PC");
  EXPECT_EQ(cleanModelText(" \n ", "Linux PC"), "Linux PC");
}

TEST(SystemVersion, DisplayVersionThenNumbersThenTen) {
  EXPECT_EQ(osVersionFrom({"", "", " 23H2 ", "10", "0", "22631"}), "23H2");
  EXPECT_EQ(osVersionFrom({"", "", "", "10", "0", "19045"}), "10.0.19045");
  EXPECT_EQ(osVersionFrom({"", "", "", "6", "1", ""}), "6.1");
  EXPECT_EQ(osVersionFrom({"", "", "", "", "", "7601"}), "10") << "numbers not stored as text";
  EXPECT_EQ(versionFromProductVersion(0x00010003, 0x00000000), "1.3.0");
  EXPECT_EQ(versionFromProductVersion(0x0002000A, 0x00070009), "2.10.7") << "the fourth part is dropped";
}

TEST(Applications, EntriesAndMatchingByFileName) {
  EXPECT_EQ(applicationEntry("C:\\Program Files\\Tools\\a.b.exe", "\\"),
            nlohmann::json({{"bundleId", "a.b.exe"}, {"name", "a.b"}, {"path", "C:\\Program Files\\Tools\\a.b.exe"},
                            {"color", "#1d8fef"}}));
  EXPECT_EQ(applicationEntry("/opt/x/.hidden", "/")["name"], "");
  EXPECT_EQ(applicationEntry("tool", "/")["name"], "tool");

  const std::vector<RunningProcess> snapshot{{1, "App.exe"}, {2, "other.exe"}, {3, "app.EXE"}, {4, "app"}};
  const auto matches = matchingProcesses(snapshot, {"APP.exe", "app.exe"});
  ASSERT_EQ(matches.size(), 2u) << "a name given twice still ends each process once";
  EXPECT_EQ(matches[0].exeFileName, "App.exe");
  EXPECT_EQ(matches[1].pid, 3u);
  EXPECT_TRUE(matchingProcesses(snapshot, {}).empty());
  EXPECT_TRUE(matchingProcesses(snapshot, {"C:\\x\\app.exe", "other"}).empty()) << "only whole bare file names match";
}

}  // namespace
}  // namespace vlvpn::services
