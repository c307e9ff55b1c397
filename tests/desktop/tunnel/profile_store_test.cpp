#include "desktop/tunnel/profile_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "common/path_bytes.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::tunnel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ProfileStoreTest : public testing::Test {
 protected:
  test::TempDir base;
  ProfileStore store{[this] { return base.path(); }};
  fs::path profiles() const { return base.path() / "VLVPNDesk" / "profiles"; }
};

TEST_F(ProfileStoreTest, SavesConfigurationsByteForByte) {
  const std::string content = "client\r\nremote 127.0.0.1 1194\n\0binary\xFF"s;
  auto saved = store.saveConfig("home", content, "home.ovpn");
  ASSERT_TRUE(saved) << saved.error().message;
  EXPECT_EQ(saved.value().fileName, "home.ovpn");
  EXPECT_EQ(saved.value().configPath, bytesFromPath(profiles() / "home" / "home.ovpn"));
  EXPECT_EQ(readBytes(profiles() / "home" / "home.ovpn"), content);

  ASSERT_TRUE(store.saveConfig("home", "second", "home.ovpn"));
  EXPECT_EQ(readBytes(profiles() / "home" / "home.ovpn"), "second") << "same name replaces";
  ASSERT_TRUE(store.saveConfig("home", "other", "work.ovpn"));
  EXPECT_TRUE(fs::exists(profiles() / "home" / "home.ovpn"));
  EXPECT_TRUE(fs::exists(profiles() / "home" / "work.ovpn"));
}

TEST_F(ProfileStoreTest, NonAsciiBytesRoundTripThroughPaths) {
  auto saved = store.saveConfig("caf\xC3\xA9", "x", "\xC3.ovpn");
  ASSERT_TRUE(saved) << saved.error().message;
  EXPECT_TRUE(saved.value().configPath.ends_with(std::string("caf\xC3\xA9") +
                                                 static_cast<char>(fs::path::preferred_separator) + "\xC3.ovpn"))
      << saved.value().configPath;
  EXPECT_TRUE(fs::exists(profiles() / pathFromBytes("caf\xC3\xA9") / pathFromBytes("\xC3.ovpn")));
}

TEST_F(ProfileStoreTest, CredentialsAreTwoLinesAndReadBack) {
  ASSERT_TRUE(store.saveCredentials("p", {"u", "p"}));
  EXPECT_EQ(readBytes(profiles() / "p" / "auth.txt"), "u\np\n");

  ASSERT_TRUE(store.saveCredentials("p", {"alice", "s3cret with spaces"}));
  auto read = store.readCredentials("p");
  ASSERT_TRUE(read);
  EXPECT_EQ(read.value(), (Credentials{"alice", "s3cret with spaces"}));
}

TEST(AuthFile, ParsesLikeTextModeLines) {
  struct Case {
    const char* text;
    Credentials expected;
  };
  const Case cases[] = {
      {"user\npass\n", {"user", "pass"}},
      {"user\r\npass\r\n", {"user", "pass"}},
      {"user\npass", {"user", "pass"}},
      {"user\n", {"user", ""}},
      {"", {"", ""}},
      {"a\nb\nc\n", {"a", "b"}},
      {"a\rb\n", {"a\rb", ""}},  // a lone CR is data
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(parseAuthFile(c.text), c.expected);
  }
  EXPECT_EQ(formatAuthFile({"u", "p"}), "u\np\n");
}

TEST_F(ProfileStoreTest, ReadingMissingCredentialsRejectsAndLeavesAnEmptyFolder) {
  auto read = store.readCredentials("never-saved");
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "Auth file not found");
  EXPECT_TRUE(fs::is_directory(profiles() / "never-saved"));
  EXPECT_TRUE(store.listMetadata().empty()) << "a folder without meta.json is not listed";
}

TEST_F(ProfileStoreTest, ListsMetadataOfRealProfileFoldersOnly) {
  EXPECT_TRUE(store.listMetadata().empty());
  ASSERT_TRUE(store.saveMeta("a", "{\"id\":\"a\"}\r\n{\r\n"));
  ASSERT_TRUE(store.saveMeta("b", "{\"id\":\"b\"}"));
  ASSERT_TRUE(store.saveConfig("c", "no meta", "c.ovpn"));
  writeBytes(profiles() / "stray-file", "x");
  EXPECT_EQ(readBytes(profiles() / "a" / "meta.json"), "{\"id\":\"a\"}\r\n{\r\n") << "stored as given";

  auto listed = store.listMetadata();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"{\"id\":\"a\"}\n{\n", "{\"id\":\"b\"}"}));
}

TEST_F(ProfileStoreTest, DeletesOneProfileAndNothingElse) {
  ASSERT_TRUE(store.saveMeta("keep", "k"));
  ASSERT_TRUE(store.saveMeta("gone", "g"));
  ASSERT_TRUE(store.saveCredentials("gone", {"u", "p"}));
  ASSERT_TRUE(store.remove("gone"));
  EXPECT_FALSE(fs::exists(profiles() / "gone"));
  EXPECT_EQ(store.listMetadata(), std::vector<std::string>{"k"});
  EXPECT_TRUE(store.remove("does-not-exist")) << "deleting an unknown profile succeeds";
}

TEST_F(ProfileStoreTest, RefusesIdentifiersAndNamesThatLeaveTheirFolder) {
  ASSERT_TRUE(store.saveMeta("keep", "k"));
  ASSERT_TRUE(store.saveCredentials("keep", {"u", "p"}));
  const std::string badIds[] = {"", ".", "..", "a/b", "a\\b", "c:", "../keep", std::string("a\0b", 3)};
  for (const auto& id : badIds) {
    SCOPED_TRACE(testing::PrintToString(id));
    EXPECT_EQ(store.remove(id).error().message, "Invalid profile identifier");
    EXPECT_EQ(store.saveMeta(id, "x").error().message, "Invalid profile identifier");
    EXPECT_EQ(store.saveCredentials(id, {"x", "y"}).error().message, "Invalid profile identifier");
    EXPECT_EQ(store.readCredentials(id).error().message, "Invalid profile identifier");
    EXPECT_EQ(store.saveConfig(id, "x", "x.ovpn").error().message, "Invalid profile identifier");
  }
  const std::string badNames[] = {"", ".", "..", "sub/x.ovpn", "sub\\x.ovpn", "C:x.ovpn", "..\\..\\x", std::string("a\0b", 3)};
  for (const auto& name : badNames) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_EQ(store.saveConfig("keep", "x", name).error().message, "Invalid file name");
  }
  // A configuration by the name of a file kept beside it would be lost to
  // that file's next write: the credentials, the log, the metadata or the
  // management password of the next connect.
  for (const char* name : {"auth.txt", "openvpn.log", "meta.json", "management.txt", "Management.TXT"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(store.saveConfig("keep", "client\n", name).error().message, "Invalid file name");
  }
  EXPECT_EQ(readBytes(profiles() / "keep" / "auth.txt"), "u\np\n");
  EXPECT_EQ(store.listMetadata(), std::vector<std::string>{"k"});
  EXPECT_EQ(store.readCredentials("keep").value(), (Credentials{"u", "p"}));
  // Only the one profile folder exists.
  EXPECT_EQ(std::distance(fs::directory_iterator(profiles()), fs::directory_iterator()), 1);
}

TEST_F(ProfileStoreTest, ReportsFoldersThatCannotBeCreated) {
  // A file where the data folder should be.
  writeBytes(base.path() / "VLVPNDesk", "in the way");
  const std::string expected = "create_directories failed: " + utf8FromPath(profiles());
  EXPECT_EQ(store.saveMeta("p", "x").error().message, expected);
  EXPECT_EQ(store.remove("p").error().message, expected);
  EXPECT_EQ(store.readCredentials("p").error().message, expected);
  EXPECT_TRUE(store.listMetadata().empty());
}

TEST_F(ProfileStoreTest, ReportsFilesThatCannotBeWritten) {
  // A folder where the file should be makes the open fail on every platform.
  fs::create_directories(profiles() / "p" / "meta.json");
  fs::create_directories(profiles() / "p" / "auth.txt");
  fs::create_directories(profiles() / "p" / "p.ovpn");
  EXPECT_EQ(store.saveMeta("p", "x").error().message, "Could not write meta.json");
  EXPECT_EQ(store.saveCredentials("p", {"u", "p"}).error().message, "Could not write auth.txt");
  EXPECT_EQ(store.saveConfig("p", "x", "p.ovpn").error().message, "Could not write p.ovpn");
}

}  // namespace
}  // namespace vlvpn::tunnel
