#include "desktop/tunnel/openvpn_launcher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "common/path_bytes.h"
#include "tests/fakes/fake_service_pipe.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::tunnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(LocateOpenVpn, PrefersTheProgramsOwnCopies) {
  const fs::path program = fs::path("/opt") / "velmora" / "bin";
  const auto candidates = openVpnCandidates(program);
  ASSERT_GE(candidates.size(), 6u);
  const std::string exe = candidates[1].filename().string();
  EXPECT_EQ(candidates[0], program / "openvpn" / exe);
  EXPECT_EQ(candidates[1], program / exe);
  EXPECT_EQ(candidates[2], program.parent_path() / "openvpn" / exe);
  EXPECT_EQ(candidates[3], program.parent_path() / exe);

  std::set<fs::path> present{candidates[4], candidates[0]};
  const auto exists = [&](const fs::path& p) { return present.count(p) > 0; };
  EXPECT_EQ(locateOpenVpn(program, exists), candidates[0]) << "the program's openvpn folder wins over the system's";
  present.erase(candidates[0]);
  EXPECT_EQ(locateOpenVpn(program, exists), candidates[4]);
}

TEST(BuildCommandLine, HasItsPiecesInOrderWithSingleSpaces) {
  const fs::path folder = fs::path("/d") / "VLVPNDesk" / "profiles" / "p";
  const std::string config = utf8FromPath(folder / "p.ovpn");
  const std::string auth = utf8FromPath(folder / "auth.txt");
  const std::string log = utf8FromPath(folder / "openvpn.log");
  const std::string tail =
      " --management 127.0.0.1 11940 --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5"
      " --ping 10 --ping-restart 60 --windows-driver tap-windows6";
  EXPECT_EQ(buildCommandLine(folder / "p.ovpn", folder / "auth.txt", true, folder / "openvpn.log"),
            "--config \"" + config + "\" --auth-user-pass \"" + auth + "\" --log \"" + log + "\"" + tail);
  EXPECT_EQ(buildCommandLine(folder / "p.ovpn", folder / "auth.txt", false, folder / "openvpn.log"),
            "--config \"" + config + "\" --log \"" + log + "\"" + tail);
}

TEST(RotateLog, KeepsOneOlderLogAndNoCurrentOne) {
  test::TempDir dir;
  rotateLog(dir.path());  // nothing to rotate
  std::ofstream(dir.path() / "openvpn.log") << "current";
  std::ofstream(dir.path() / "openvpn.log.1") << "older";
  rotateLog(dir.path());
  EXPECT_FALSE(fs::exists(dir.path() / "openvpn.log"));
  std::ifstream in(dir.path() / "openvpn.log.1");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "current");
}

struct FakeElevated : ElevatedLauncher {
  uint32_t error = 0;
  std::vector<std::string> parameters;
  ElevatedLaunch start(const fs::path&, const std::string& p, const std::vector<std::string>&) override {
    parameters.push_back(p);
    ElevatedLaunch launch;
    launch.error = error;
    return launch;
  }
};

class LaunchTest : public testing::Test {
 protected:
  test::FakeServiceScript script;
  std::chrono::milliseconds slept{0};
  killswitch::ServiceClient service{std::make_unique<test::FakeServicePipe>(script),
                                    std::make_unique<test::FakeServiceManager>(script),
                                    killswitch::Clock{[] { return std::chrono::steady_clock::time_point{}; }}};
  FakeElevated elevated;
  std::vector<uint32_t> opened;
  LaunchRoads roads{service, elevated, [this](std::chrono::milliseconds d) { slept += d; },
                    [this](uint32_t pid) -> std::shared_ptr<TunnelProcess> {
                      opened.push_back(pid);
                      return nullptr;
                    }};
};

TEST_F(LaunchTest, UsesTheServiceWhenItAnswers) {
  script.installed = true;
  script.replies = {"PONG\n", "OK\n", "OK 321\n"};
  auto result = launchOpenVpn(roads, "/usr/sbin/openvpn", "--config \"x\"");
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.launchedViaService);
  EXPECT_TRUE(elevated.parameters.empty());
  EXPECT_EQ(opened, std::vector<uint32_t>{321}) << "the process the service named is opened";
}

TEST_F(LaunchTest, StartsAnInstalledServiceAndNeverPromptsWhileItIsInstalled) {
  script.installed = true;
  script.replies.assign(11, "");  // the first ping and ten retries go unanswered
  script.replies.insert(script.replies.end(), {"", "PONG\n", "OK\n", "OK 5\n"});
  auto result = launchOpenVpn(roads, "/usr/sbin/openvpn", "--a");
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(script.starts, 1);
  EXPECT_EQ(slept, 200ms * 11);

  script.replies.clear();
  script.startSucceeds = false;
  auto silent = launchOpenVpn(roads, "/usr/sbin/openvpn", "--a");
  EXPECT_FALSE(silent.ok);
  EXPECT_EQ(silent.error, kServiceNotResponding);
  EXPECT_TRUE(elevated.parameters.empty());

  script.replies = {"PONG\n", "OK\n", "ERR exe_not_allowed\n"};
  auto refused = launchOpenVpn(roads, "/usr/sbin/openvpn", "--a");
  EXPECT_EQ(refused.error, "Kill-switch service could not start OpenVPN (ERR exe_not_allowed)");
}

TEST_F(LaunchTest, PromptsWhenNoServiceIsInstalled) {
  const std::string args = buildCommandLine("/d/p.ovpn", "/d/auth.txt", true, "/d/openvpn.log");
  auto result = launchOpenVpn(roads, "C:\\OpenVPN\\openvpn.exe", args);
  EXPECT_TRUE(result.ok);
  EXPECT_FALSE(result.launchedViaService);
  EXPECT_EQ(elevated.parameters, std::vector<std::string>{args});
  EXPECT_EQ(slept, 0ms) << "a missing service is not waited for";

  elevated.error = kErrorCancelled;
  EXPECT_EQ(launchOpenVpn(roads, "openvpn.exe", args).error, kElevationDeclined);
  elevated.error = 2;
  EXPECT_EQ(launchOpenVpn(roads, "openvpn.exe", args).error, "Failed to launch OpenVPN (error 2)");
}

TEST_F(LaunchTest, NeverStartsAnArgumentStringThatDoesNotReadBack) {
  // Started one word at a time, such a string would run OpenVPN with no
  // arguments at all (or with words the program never meant).
  elevated.parameters.clear();
  const std::string odd[] = {"--a", "", "--config \"unterminated", "--config \"x\" --log \"y\" --up /bin/sh"};
  for (const auto& args : odd) {
    SCOPED_TRACE(args);
    auto result = launchOpenVpn(roads, "/usr/sbin/openvpn", args);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, kLaunchFailed);
  }
  EXPECT_TRUE(elevated.parameters.empty());
}

}  // namespace
}  // namespace vlvpn::tunnel
