#include "desktop/tunnel/ovpn_file_picker.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/path_bytes.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::tunnel {
namespace {

TEST(PickedFile, StripsTheByteOrderMarkAndSplitsThePath) {
  struct Case {
    const char* path;
    char separator;
    std::string content;
    PickedFile expected;
  };
  const Case cases[] = {
      {"C:\\Users\\me\\home.ovpn", '\\', "\xEF\xBB\xBF" "client\n", {"home.ovpn", "client\n", "C:\\Users\\me"}},
      {"C:\\Users\\me\\home.ovpn", '\\', "\xEF\xBB\xBF", {"home.ovpn", "", "C:\\Users\\me"}},
      {"C:\\x.ovpn", '\\', "\xEF\xBB", {"x.ovpn", "\xEF\xBB", "C:"}},
      {"x.ovpn", '\\', "client \xEF\xBB\xBF", {"x.ovpn", "client \xEF\xBB\xBF", ""}},
      {"/home/me/caf\xC3\xA9.ovpn", '/', "", {"caf\xC3\xA9.ovpn", "", "/home/me"}},
      {"/x.ovpn", '/', "a", {"x.ovpn", "a", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(describePickedFile(c.path, c.separator, c.content), c.expected);
  }
}

TEST(PickedFile, ReadsTheChosenFileFromDisk) {
  test::TempDir dir;
  const auto path = dir.path() / "import.ovpn";
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF" "remote 127.0.0.1\r\n";
  const auto picked = readPickedFile(path);
  EXPECT_EQ(picked.fileName, "import.ovpn");
  EXPECT_EQ(picked.content, "remote 127.0.0.1\r\n");
  EXPECT_EQ(picked.sourceDirectory, utf8FromPath(dir.path()));

  EXPECT_EQ(readPickedFile(dir.path() / "missing.ovpn").content, "") << "unreadable reads as empty";
}

}  // namespace
}  // namespace vlvpn::tunnel
