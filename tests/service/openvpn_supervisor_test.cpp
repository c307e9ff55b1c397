#include "service/openvpn_supervisor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/path_bytes.h"
#include "service/openvpn_start_policy.h"
#include "service/user_files.h"
#include "tests/fakes/fake_process_launcher.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SupervisorTest : public testing::Test {
 protected:
  SupervisorTest() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(profile);
    std::ofstream(bin / exeName, std::ios::binary) << "binary";
    std::ofstream(profile / "home.ovpn", std::ios::binary) << "client\nremote 127.0.0.1 1194\n";
    std::ofstream(profile / "auth.txt", std::ios::binary) << "u\np\n";
  }

  std::string exe() const { return utf8FromPath(bin / exeName); }
  std::string args(bool withAuth = true) const {
    return formatOpenVpnArguments({utf8FromPath(profile / "home.ovpn"),
                                   withAuth ? std::optional(utf8FromPath(profile / "auth.txt")) : std::nullopt,
                                   utf8FromPath(profile / "openvpn.log")});
  }
  std::string logText() const { return readAll(data / "killswitch.log"); }

  test::TempDir root;
  const std::string exeName = isOpenVpnFileName("openvpn.exe") ? "openvpn.exe" : "openvpn";
  const std::filesystem::path bin = root.path() / "bin";
  const std::filesystem::path data = root.path() / "data";
  const std::filesystem::path profile = root.path() / "home" / "VLVPNDesk" / "profiles" / "home";
  ServiceLog log{data / "killswitch.log"};
  test::FakeProcessLauncher* launcher = new test::FakeProcessLauncher;
  OpenVpnSupervisor supervisor{std::unique_ptr<ProcessLauncher>(launcher), log,
                               {{bin}, [this](std::string_view name) { return data / pathFromUtf8(name); }}};
};

// What the service appends after the profile's arguments, as one text.
std::string serviceWords() {
  std::string words;
  for (const auto& word : serviceOpenVpnArguments()) words += " " + word;
  return words;
}

TEST_F(SupervisorTest, StartsTheCheckedCopyWithScriptsDisabled) {
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  ASSERT_EQ(launcher->launches.size(), 1u);
  const LaunchSpec& spec = launcher->launches[0];
  const std::string copy = utf8FromPath(data / "openvpn-config.ovpn");
  const std::string credentials = utf8FromPath(data / "openvpn-auth.txt");
  EXPECT_EQ(spec.exe, exe());
  EXPECT_GE(spec.exeFile, 0) << "the executable checked is held for the start";
  EXPECT_EQ(spec.argumentString,
            formatOpenVpnArguments({copy, credentials, utf8FromPath(profile / "openvpn.log")}) + serviceWords());
  EXPECT_EQ(readAll(data / "openvpn-auth.txt"), "u\np\n") << "a private copy of the credentials too";
  ASSERT_GE(spec.argumentVector.size(), 2u);
  EXPECT_EQ(spec.argumentVector[1], copy);
  const auto own = serviceOpenVpnArguments();
  ASSERT_GE(spec.argumentVector.size(), own.size());
  EXPECT_EQ(std::vector(spec.argumentVector.end() - static_cast<long>(own.size()), spec.argumentVector.end()), own);
  EXPECT_EQ(spec.outputFile, data / "openvpn-stderr.log");
  EXPECT_EQ(readAll(data / "openvpn-config.ovpn"), "client\nremote 127.0.0.1 1194\n");

  // The user's file changing afterwards does not reach OpenVPN.
  std::ofstream(profile / "home.ovpn") << "plugin evil.so\n";
  EXPECT_EQ(readAll(data / "openvpn-config.ovpn"), "client\nremote 127.0.0.1 1194\n");

  supervisor.stop();
  EXPECT_FALSE(std::filesystem::exists(data / "openvpn-auth.txt")) << "gone with the OpenVPN that needed it";
}

TEST_F(SupervisorTest, RefusalsLeaveTheRunningChildAlone) {
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  struct Case {
    std::string exe, args, reply;
  };
  std::ofstream(bin / "other") << "x";
  const Case cases[] = {
      {"", args(), "ERR empty_exe"},
      {utf8FromPath(bin / "missing" / exeName), args(), "ERR exe_not_allowed"},
      {utf8FromPath(root.path() / "nowhere" / exeName), args(), "ERR exe_not_allowed"},
      {utf8FromPath(bin / "other"), args(), "ERR exe_not_allowed"},
      {exe(), args() + " --up evil", "ERR args_not_allowed"},
      {exe(), "--config x", "ERR args_not_allowed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(supervisor.start(c.exe, c.args), c.reply);
  }
  std::ofstream(profile / "home.ovpn") << "client\nstatus C:\\\\Windows\\\\win.ini\n";
  EXPECT_EQ(supervisor.start(exe(), args()), "ERR config_not_allowed");

  EXPECT_EQ(launcher->launches.size(), 1u);
  EXPECT_EQ(launcher->processes[0]->terminations, 0);
  EXPECT_EQ(supervisor.status(), "OK RUNNING 1000");
  const std::string text = logText();
  EXPECT_NE(text.find(" exe_not_allowed: " + utf8FromPath(bin / "missing" / exeName) + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" exe_not_allowed: "), std::string::npos);
  EXPECT_NE(text.find(" args_not_allowed: "), std::string::npos);
  EXPECT_NE(text.find(": status\r\n"), std::string::npos);
}

TEST_F(SupervisorTest, LooksAtNoFileBeforeTheWordsPassed) {
  std::filesystem::remove(bin / exeName);
  EXPECT_EQ(supervisor.start(exe(), "--config x"), "ERR args_not_allowed") << "the arguments are checked first";
  EXPECT_EQ(supervisor.start(exe(), args()), "ERR exe_not_found") << "only an allowed place says what is missing";
  const std::string elsewhere = utf8FromPath(root.path() / "home" / exeName);
  EXPECT_EQ(supervisor.start(elsewhere, args()), "ERR exe_not_allowed");
  std::ofstream(root.path() / "home" / exeName) << "x";
  EXPECT_EQ(supervisor.start(elsewhere, args()), "ERR exe_not_allowed") << "the same answer whether it exists or not";
  EXPECT_TRUE(launcher->launches.empty());
}

TEST_F(SupervisorTest, AHugeConfigurationIsRefusedUnread) {
  // Sparse: three gigabytes that cost the disk nothing and the service, read whole, everything.
  std::filesystem::resize_file(profile / "home.ovpn", 3ull << 30);
  EXPECT_EQ(supervisor.start(exe(), args()), "ERR config_not_allowed");
  EXPECT_TRUE(launcher->launches.empty());
  std::filesystem::resize_file(profile / "home.ovpn", kMaxUserFileBytes + 1);
  EXPECT_EQ(supervisor.start(exe(), args()), "ERR config_not_allowed");
  std::filesystem::resize_file(profile / "home.ovpn", 0);
  {
    // Comment lines of 99 bytes and their LFs, up to exactly the limit.
    std::ofstream config(profile / "home.ovpn", std::ios::binary);
    config << "client\n";
    size_t written = 7;
    while (written + 100 <= kMaxUserFileBytes) {
      config << std::string(99, '#') << '\n';
      written += 100;
    }
    config << std::string(kMaxUserFileBytes - written, '#');
  }
  ASSERT_EQ(std::filesystem::file_size(profile / "home.ovpn"), kMaxUserFileBytes);
  EXPECT_EQ(supervisor.start(exe(), args()), "OK 1000") << "exactly the limit is read";
}

TEST_F(SupervisorTest, ASecondStartEndsTheFirstChild) {
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  ASSERT_EQ(supervisor.start(exe(), args(false)), "OK 1001");
  EXPECT_EQ(launcher->processes[0]->terminations, 1);
  EXPECT_FALSE(launcher->launches[1].argumentString.find("--auth-user-pass") != std::string::npos);
  EXPECT_EQ(supervisor.status(), "OK RUNNING 1001");
  supervisor.stop();
  EXPECT_EQ(launcher->processes[1]->terminations, 1);
  EXPECT_EQ(supervisor.status(), "OK STOPPED");
}

TEST_F(SupervisorTest, ASecondStartWithCredentialsKeepsItsOwnCopy) {
  // The client's retry sends a start without a stop in between: ending the
  // first OpenVPN must not take away the credentials the second one reads.
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  std::ofstream(profile / "auth.txt", std::ios::binary) << "u2\np2\n";
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1001");
  EXPECT_EQ(launcher->processes[0]->terminations, 1);
  EXPECT_EQ(readAll(data / "openvpn-auth.txt"), "u2\np2\n");
  supervisor.stop();
  EXPECT_FALSE(std::filesystem::exists(data / "openvpn-auth.txt"));
}

// OpenVPN's management interface asks for the session's password: the
// service hands OpenVPN a private copy, which goes when OpenVPN does.
TEST_F(SupervisorTest, TheManagementPasswordIsCopiedPrivatelyAndGoesWithOpenVpn) {
  std::ofstream(profile / "management.txt", std::ios::binary) << "0123abcd\n";
  OpenVpnArguments arguments{utf8FromPath(profile / "home.ovpn"), utf8FromPath(profile / "auth.txt"),
                             utf8FromPath(profile / "openvpn.log")};
  arguments.managementPasswordPath = utf8FromPath(profile / "management.txt");
  ASSERT_EQ(supervisor.start(exe(), formatOpenVpnArguments(arguments)), "OK 1000");
  const LaunchSpec& spec = launcher->launches[0];
  const std::string copy = utf8FromPath(data / "openvpn-management.txt");
  EXPECT_NE(spec.argumentString.find("--management 127.0.0.1 11940 \"" + copy + "\""), std::string::npos)
      << spec.argumentString;
  EXPECT_EQ(readAll(data / "openvpn-management.txt"), "0123abcd\n");
  supervisor.stop();
  EXPECT_FALSE(std::filesystem::exists(data / "openvpn-management.txt"));
}

TEST_F(SupervisorTest, AClientOfUnknownIdentityGetsNothingStarted) {
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  Requester anonymous;
  anonymous.unknownIdentity = OsError{"OpenThreadToken", 1347};
  EXPECT_EQ(supervisor.start(exe(), args(), anonymous), "ERR config_not_allowed");
  EXPECT_EQ(launcher->launches.size(), 1u);
  EXPECT_EQ(launcher->processes[0]->terminations, 0) << "a refusal leaves the running child alone";
  EXPECT_NE(logText().find("config_not_allowed: the client's identity cannot be established (OpenThreadToken 1347)"),
            std::string::npos)
      << logText();
}

TEST_F(SupervisorTest, TheServicesScriptSecurityComesLastAndWins) {
  // A profile may carry its own level; OpenVPN takes the last one it reads,
  // which is always the service's, after the configuration.
  std::ofstream(profile / "home.ovpn", std::ios::binary) << "client\nscript-security 3\nremote 127.0.0.1 1194\n";
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  const LaunchSpec& spec = launcher->launches[0];
  const auto own = serviceOpenVpnArguments();
  ASSERT_GE(own.size(), 2u);
  EXPECT_EQ(own[0], "--script-security");
  EXPECT_EQ(own[1], "1");
  EXPECT_TRUE(spec.argumentString.ends_with(serviceWords())) << spec.argumentString;
  const size_t config = spec.argumentString.find("--config");
  ASSERT_NE(config, std::string::npos);
  EXPECT_LT(config, spec.argumentString.rfind("--script-security"));
}

TEST_F(SupervisorTest, StatusForgetsAnEndedChildOnce) {
  EXPECT_EQ(supervisor.status(), "OK STOPPED");
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  launcher->processes[0]->queryFails = true;
  EXPECT_EQ(supervisor.status(), "OK STOPPED") << "a failed query keeps the child";
  launcher->processes[0]->queryFails = false;
  EXPECT_EQ(supervisor.status(), "OK RUNNING 1000");
  launcher->processes[0]->running = false;
  EXPECT_EQ(supervisor.status(), "OK STOPPED");
  supervisor.stop();
  EXPECT_EQ(launcher->processes[0]->terminations, 0) << "an ended child is not terminated";
}

TEST_F(SupervisorTest, AFailedLaunchIsLoggedAndLeavesNoChild) {
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  launcher->failure = OsError{"CreateProcessW", 2};
  EXPECT_EQ(supervisor.start(exe(), args()), "ERR 2");
  EXPECT_EQ(launcher->processes[0]->terminations, 1) << "the old child was ended first";
  EXPECT_EQ(supervisor.status(), "OK STOPPED");
  EXPECT_NE(logText().find(" CreateProcess failed (2) for cmd: \"" + exe() + "\" --config "), std::string::npos);
}

// Without a folder of its own the service has nowhere to put the checked
// copies, and OpenVPN must never read the user's files with its rights.
TEST_F(SupervisorTest, WithoutADataFolderNothingStarts) {
  auto* bare = new test::FakeProcessLauncher;
  OpenVpnSupervisor withoutFolder{std::unique_ptr<ProcessLauncher>(bare), log,
                                  {{bin}, [](std::string_view) { return std::filesystem::path(); }}};
  EXPECT_EQ(withoutFolder.start(exe(), args()), "ERR config_not_allowed");
  EXPECT_TRUE(bare->launches.empty());
  EXPECT_NE(logText().find("config_not_allowed: no service data folder"), std::string::npos) << logText();
}

TEST_F(SupervisorTest, RotatesTheCapturedOutputBeforeEachStart) {
  std::ofstream(data / "openvpn-stderr.log") << std::string(kLogRotateBytes + 1, 'x');
  ASSERT_EQ(supervisor.start(exe(), args()), "OK 1000");
  EXPECT_EQ(std::filesystem::file_size(data / "openvpn-stderr.log.1"), kLogRotateBytes + 1);
  EXPECT_FALSE(std::filesystem::exists(data / "openvpn-stderr.log"));
}

}  // namespace
}  // namespace vlvpn::service
