#include "desktop/shell/launch_entries.h"

#include <gtest/gtest.h>

namespace vlvpn::shell {
namespace {

TEST(LogOnStart, IsTheExactArgumentAnywhere) {
  EXPECT_TRUE(isLogOnStart("--startup "));
  EXPECT_TRUE(isLogOnStart("--bridge --startup "));
  EXPECT_FALSE(isLogOnStart("--Startup "));
  EXPECT_FALSE(isLogOnStart(""));
}

TEST(RunValue, QuotesThePathSoSpacesNeverSplitIt) {
  EXPECT_EQ(runValueData(u"C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe"),
            u"\"C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe\" --startup");
}

TEST(AutostartEntry, QuotesAndEscapesTheProgramAsTheFormatRequires) {
  EXPECT_EQ(autostartEntry("/opt/velmora/VLVPNDesk"),
            "[Desktop Entry]\nType=Application\nName=Velmora VPN\nExec=\"/opt/velmora/VLVPNDesk\" --startup\n"
            "X-GNOME-Autostart-enabled=true\n");
  const auto odd = autostartEntry("/home/a b/$x`y\"z\\w%1/VLVPNDesk");
  ASSERT_TRUE(odd);
  // Quoting escapes $ ` " \ with a backslash; the value then doubles each
  // backslash, and a % is doubled so it is no field code.
  EXPECT_NE(odd->find("Exec=\"/home/a b/\\\\$x\\\\`y\\\\\"z\\\\\\\\w%%1/VLVPNDesk\" --startup\n"), std::string::npos)
      << *odd;
  EXPECT_FALSE(autostartEntry("/home/a\nb/VLVPNDesk")) << "a line break cannot be carried";
}

}  // namespace
}  // namespace vlvpn::shell
