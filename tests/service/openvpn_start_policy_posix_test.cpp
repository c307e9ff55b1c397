#include <sys/socket.h>
// Linux rules of the start policy: links and ownership.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "service/openvpn_start_policy.h"
#include "service/socket_peer_posix.h"
#include "service/supervised_process.h"
#include "service/user_files.h"
#include "service/user_files_posix.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

// A client the kernel cannot vouch for gets no file read with the
// service's rights: it has no uid and says why.
TEST(SocketPeer, IsTheKernelsWordOrAReasonWhyNot) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const Requester peer = socketPeer(pair[0]);
  EXPECT_EQ(peer.uid, ::getuid());
  EXPECT_EQ(peer.name, "uid " + std::to_string(::getuid()));
  EXPECT_FALSE(peer.unknownIdentity);
  ::close(pair[0]);
  ::close(pair[1]);

  int notSocket[2];
  ASSERT_EQ(::pipe(notSocket), 0);
  const Requester unknown = socketPeer(notSocket[0]);
  EXPECT_FALSE(unknown.uid);
  ASSERT_TRUE(unknown.unknownIdentity);
  EXPECT_EQ(unknown.unknownIdentity->api, "getsockopt(SO_PEERCRED)");
  EXPECT_EQ(unknown.unknownIdentity->code, static_cast<uint32_t>(ENOTSOCK));
  ::close(notSocket[0]);
  ::close(notSocket[1]);
}

// The child reading as the user may be stuck where the user arranged it;
// the service stops waiting at the deadline, whatever the child sent so far.
TEST(UserFilesPosix, AChildThatStopsAnsweringIsGivenUpAtTheDeadline) {
  OpenVpnArguments arguments;
  arguments.configPath = "/home/u/VLVPNDesk/profiles/p/x.ovpn";
  arguments.logPath = "/home/u/VLVPNDesk/profiles/p/openvpn.log";
  for (const bool sendsTheConfig : {false, true}) {
    SCOPED_TRACE(sendsTheConfig ? "stuck at the log" : "silent from the start");
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    if (sendsTheConfig) {
      // errno 0, one chunk, the end of the file; then nothing for the log.
      const int ok = 0;
      const uint32_t length = 7, end = 0;
      ASSERT_EQ(::write(pair[1], &ok, sizeof ok), static_cast<ssize_t>(sizeof ok));
      ASSERT_EQ(::write(pair[1], &length, sizeof length), static_cast<ssize_t>(sizeof length));
      ASSERT_EQ(::write(pair[1], "client\n", length), static_cast<ssize_t>(length));
      ASSERT_EQ(::write(pair[1], &end, sizeof end), static_cast<ssize_t>(sizeof end));
    }
    const auto files = receiveUserProfileFiles(pair[0], arguments,
                                               std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    ASSERT_FALSE(files);
    EXPECT_EQ(files.error().code, kUserFilesTimedOut);
    ::close(pair[0]);
    ::close(pair[1]);
  }
}

TEST(StartPolicyPosix, TheServicesOpenVpnCarriesTheMarkTheFilterSetsLetThrough) {
  EXPECT_EQ(serviceOpenVpnArguments(),
            (std::vector<std::string>{"--script-security", "1", "--mark", std::to_string(kServiceOpenVpnMark)}));
  EXPECT_EQ(openVpnExecutables({"/usr/sbin", "/opt/v"}), (std::vector<std::filesystem::path>{"/usr/sbin/openvpn", "/opt/v/openvpn"}));
}

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

  // A link elsewhere that leads to the real OpenVPN: the check would pass
  // on the target, the start would run whatever the link names by then.
  const auto linked = dir.path() / "linked";
  std::filesystem::create_directory_symlink(allowed, linked);
  EXPECT_FALSE(isAllowedOpenVpn((linked / "openvpn").string(), {allowed, linked}));
  std::filesystem::create_directories(dir.path() / "user" / "bin");
  std::filesystem::create_symlink(allowed / "openvpn", dir.path() / "user" / "bin" / "openvpn");
  EXPECT_FALSE(isAllowedOpenVpn((dir.path() / "user" / "bin" / "openvpn").string(), {dir.path() / "user" / "bin"}));

  // A folder higher up that others may write: they could swap what lies below.
  const auto deep = dir.path() / "shared" / "bin";
  std::filesystem::create_directories(deep);
  std::ofstream(deep / "openvpn") << "x";
  std::filesystem::permissions(deep / "openvpn", std::filesystem::perms(0755));
  std::filesystem::permissions(deep, std::filesystem::perms(0755));
  EXPECT_TRUE(isAllowedOpenVpn((deep / "openvpn").string(), {deep}));
  std::filesystem::permissions(dir.path() / "shared", std::filesystem::perms(0777));
  EXPECT_FALSE(isAllowedOpenVpn((deep / "openvpn").string(), {deep}));
  std::filesystem::permissions(dir.path() / "shared", std::filesystem::perms(01777));
  EXPECT_TRUE(isAllowedOpenVpn((deep / "openvpn").string(), {deep})) << "a sticky folder keeps what is ours ours";
  if (geteuid() == 0) {
    ASSERT_EQ(::chown(deep.c_str(), 1000, 1000), 0);
    EXPECT_FALSE(isAllowedOpenVpn((deep / "openvpn").string(), {deep})) << "a folder of another user";
  }

  EXPECT_TRUE(isAllowedOpenVpn("/usr/sbin/openvpn", allowedOpenVpnFolders(dir.path())) ||
              !std::filesystem::exists("/usr/sbin/openvpn"));
}

// What starts is the file held since the check, not what its name leads
// to by the time of the start.
TEST(StartPolicyPosix, StartsTheHeldExecutableWhateverItsNameNowNames) {
  test::TempDir dir;
  const auto bin = dir.path() / "bin";
  std::filesystem::create_directories(bin);
  std::filesystem::copy_file("/usr/bin/touch", bin / "openvpn");
  auto held = holdExecutable((bin / "openvpn").string());
  ASSERT_TRUE(held);
  EXPECT_TRUE(isHeldFileAt(held.value(), (bin / "openvpn").string()));

  // Swapped for another program after the check.
  std::filesystem::rename(bin / "openvpn", bin / "checked");
  std::filesystem::copy_file("/bin/true", bin / "openvpn");
  EXPECT_FALSE(isHeldFileAt(held.value(), (bin / "openvpn").string()));

  LaunchSpec spec;
  spec.exe = (bin / "openvpn").string();
  spec.exeFile = held.value().native();
  spec.argumentVector = {(dir.path() / "touched").string()};
  auto child = ProcessLauncher::create()->launch(spec);
  ASSERT_TRUE(child);
  for (int i = 0; i < 500 && child.value()->isRunning().value_or(false); ++i) usleep(10'000);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "touched")) << "the held program ran, not its replacement";

  std::filesystem::create_symlink("/usr/bin/touch", bin / "link");
  EXPECT_FALSE(holdExecutable((bin / "link").string())) << "a link is never held";
  EXPECT_FALSE(holdExecutable(bin.string())) << "nor a folder";
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
