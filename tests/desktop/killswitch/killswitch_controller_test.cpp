#include "desktop/killswitch/killswitch_controller.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"

namespace vlvpn::killswitch {
namespace {



TunnelView idleTunnel() {
  return {[] { return std::string("disconnected"); }, [] { return ServerEndpoint{}; }};
}

TEST(EnableRequest, SpellsTheEndpointForTheService) {
  const std::string program = "C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe";
  EXPECT_EQ(enableRequest({"udp", 1194, "1.2.3.4,5.6.7.8"}, true, program),
            "ENABLE udp 1194 1 1.2.3.4,5.6.7.8 C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe");
  EXPECT_EQ(enableRequest({"", -5, "1.2.3.4"}, false, program), "ENABLE any -5 0 1.2.3.4 " + program);
  EXPECT_EQ(enableRequest({"tcp", 443, ""}, false, program), "ENABLE tcp 443 0 none " + program);
  EXPECT_EQ(enableRequest({"tcp", 443, ""}, true, program), "ENABLE tcp 443 1 none " + program)
      << "no address known yet: the set still goes up";
}

TEST(EndpointFile, RoundTripsAndForgivesDamage) {
  EXPECT_EQ(formatEndpointFile({"udp", 1194, "1.2.3.4,5.6.7.8"}), "udp\n1194\n1.2.3.4,5.6.7.8");
  struct Case {
    const char* text;
    ServerEndpoint endpoint;
  };
  const Case cases[] = {
      {"udp\n1194\n1.2.3.4,5.6.7.8", {"udp", 1194, "1.2.3.4,5.6.7.8"}},
      {"udp\r\n1194\r\n1.2.3.4\r\n", {"udp", 1194, "1.2.3.4"}},
      {"tcp\n  +443xyz\n1.1.1.1", {"tcp", 443, "1.1.1.1"}},
      {"tcp\nbanana\n1.1.1.1", {"tcp", 0, "1.1.1.1"}},
      {"tcp\n99999999999\n1.1.1.1", {"tcp", 0, "1.1.1.1"}},
      {"udp", {"udp", 0, ""}},
      {"", {"", 0, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(parseEndpointFile(c.text), c.endpoint);
  }
}

TEST(KillSwitchController, PersistsTheEndpointInItsFile) {
  test::TempDir dir;
  KillSwitchController controller([](std::string_view) { return std::string(); }, [&] { return dir.path(); }, "/p",
                                  idleTunnel());
  EXPECT_EQ(controller.loadServerEndpoint(), ServerEndpoint{}) << "no file yet";
  controller.saveServerEndpoint({"udp", 1194, "9.9.9.9"});
  std::ifstream in(dir.path() / "killswitch.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "udp\n1194\n9.9.9.9");
  EXPECT_EQ(controller.loadServerEndpoint(), (ServerEndpoint{"udp", 1194, "9.9.9.9"}));

  // The data folder is made when missing; a folder that cannot be made is
  // silently skipped.
  KillSwitchController fresh([](std::string_view) { return std::string(); }, [&] { return dir.path() / "new" / "data"; },
                             "/p", idleTunnel());
  fresh.saveServerEndpoint({"tcp", 443, "8.8.8.8"});
  EXPECT_EQ(fresh.loadServerEndpoint(), (ServerEndpoint{"tcp", 443, "8.8.8.8"}));
  fresh.removeServerEndpoint();
  EXPECT_EQ(fresh.loadServerEndpoint(), ServerEndpoint{});
  fresh.removeServerEndpoint();  // nothing left to remove

  std::ofstream(dir.path() / "a-file") << "x";
  KillSwitchController nowhere([](std::string_view) { return std::string(); }, [&] { return dir.path() / "a-file" / "d"; },
                               "/p", idleTunnel());
  nowhere.saveServerEndpoint({"udp", 1, "1.1.1.1"});
  EXPECT_EQ(nowhere.loadServerEndpoint(), ServerEndpoint{});
}

}  // namespace
}  // namespace vlvpn::killswitch
