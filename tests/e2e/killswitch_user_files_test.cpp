// The service reads a profile's files as the user who asked for them: what
// that user cannot read never reaches an OpenVPN, and the log OpenVPN writes
// is the user's own file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "common/openvpn_arguments.h"
#include "common/posix/unique_fd.h"
#include "service/user_files.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kUser = 1000;

fs::path makeProfile(const fs::path& home, const std::string& content, const char* id = "p") {
  const auto folder = home / "VLVPNDesk" / "profiles" / id;
  fs::create_directories(folder);
  std::ofstream(folder / "p.ovpn") << content;
  return folder;
}

std::string startRequest(const fs::path& folder) {
  return "OPENVPN_START\t/usr/sbin/openvpn\t" +
         formatOpenVpnArguments({(folder / "p.ovpn").string(), std::nullopt, (folder / "openvpn.log").string()}) + "\n";
}

// The asking user: a child that drops to uid 1000, forked while the test
// still has one thread, and sends `requests` one at a time once told to.
class UserAsker {
 public:
  UserAsker(const std::string& endpoint, const std::vector<std::string>& requests) {
    if (::pipe(go_) != 0 || ::pipe(replies_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      char ready;
      if (::setgid(kUser) != 0 || ::setuid(kUser) != 0 || ::read(go_[0], &ready, 1) != 1) ::_exit(1);
      for (const auto& request : requests) {
        const std::string reply = serviceRequest(endpoint, request) + "\n";
        if (::write(replies_[1], reply.data(), reply.size()) < 0) ::_exit(1);
      }
      ::_exit(0);
    }
    ::close(replies_[1]);
  }
  ~UserAsker() {
    ::close(go_[0]);
    ::close(go_[1]);
    ::close(replies_[0]);
  }

  // Lets it ask, and returns its replies, one a line, once it is done.
  std::string replies() {
    if (pid_ <= 0 || ::write(go_[1], "g", 1) != 1) return {};
    std::string answers;
    char buffer[256];
    for (ssize_t n; (n = ::read(replies_[0], buffer, sizeof buffer)) > 0;) answers.append(buffer, static_cast<size_t>(n));
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return answers;
  }

 private:
  int go_[2] = {-1, -1}, replies_[2] = {-1, -1};
  pid_t pid_ = -1;
};

TEST(ServiceReadsAsTheUser, WhatTheUserCannotReadIsRefusedAndTheLogIsTheirs) {
  VLVPN_REQUIRE_ENVIRONMENT(geteuid() == 0, "needs root to ask as another user");
  VLVPN_REQUIRE_ENVIRONMENT(fs::exists("/usr/sbin/openvpn"), "needs Debian's openvpn");
  TempDir scratch;
  fs::permissions(scratch.path(), fs::perms(0755));
  const auto rootOnly = makeProfile(scratch.path() / "root", "client\ndev null\nremote 127.0.0.1 1194\n");
  fs::permissions(rootOnly / "p.ovpn", fs::perms(0600));
  const auto own = makeProfile(scratch.path() / "user", "client\ndev null\nremote 127.0.0.1 1194\n");
  for (const auto& entry : fs::recursive_directory_iterator(scratch.path() / "user")) {
    ASSERT_EQ(::lchown(entry.path().c_str(), kUser, kUser), 0);
  }
  ASSERT_EQ(::lchown((scratch.path() / "user").c_str(), kUser, kUser), 0);
  const std::string endpoint = (scratch.path() / "killswitch.sock").string();
  UserAsker asker(endpoint, {startRequest(rootOnly), startRequest(own)});

  KillSwitchService service(scratch.path(), {}, endpoint);
  ASSERT_TRUE(service.waitUntilAnswering());
  const std::string answers = asker.replies();

  const std::string first = answers.substr(0, answers.find('\n'));
  const std::string second = answers.substr(answers.find('\n') + 1, answers.rfind('\n') - answers.find('\n') - 1);
  EXPECT_EQ(first, "ERR config_not_allowed") << "uid 1000 cannot read that configuration";
  EXPECT_TRUE(second.starts_with("OK ")) << second << "\n" << service.logText();
  struct stat log {};
  for (int attempt = 0; attempt < 100 && ::stat((own / "openvpn.log").c_str(), &log) != 0; ++attempt) {
    ::usleep(20000);
  }
  EXPECT_EQ(log.st_uid, kUser) << "the log was created as the user, not as root";
  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
  EXPECT_FALSE(fs::exists(service.dataFolder / "openvpn-auth.txt"));
}

// What a user's profile would have the service's OpenVPN do with root's
// rights: read a root-only file and send it to the user's own listener as
// proxy credentials (a directive behind a comment, where OpenVPN splits a
// long line inside a <connection> block), serve as a VPN server on port 53,
// or run programs with the user's LD_PRELOAD. Each start is refused, no
// OpenVPN runs, and nothing reaches the listener.
TEST(ServiceReadsAsTheUser, HostileProfilesStartNothingAndReadNoFileOfRoots) {
  VLVPN_REQUIRE_ENVIRONMENT(geteuid() == 0, "needs root to ask as another user");
  TempDir scratch;
  fs::permissions(scratch.path(), fs::perms(0755));
  const auto secret = scratch.path() / "secret";
  std::ofstream(secret) << "root-user\nroot-password\n";
  fs::permissions(secret, fs::perms(0600));

  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));

  const auto home = scratch.path() / "user";
  const fs::path profiles[] = {
      makeProfile(home,
                  "client\ndev null\n<connection>\nremote 127.0.0.1 1194 tcp\n#" + std::string(254, 'x') +
                      "# http-proxy 127.0.0.1 " + port + " " + secret.string() + " basic\n</connection>\n",
                  "split"),
      makeProfile(home, "mode server\ntls-server\ndev null\nifconfig 10.8.0.1 10.8.0.2\nport 53\n", "server"),
      makeProfile(home, "client\ndev null\nremote 127.0.0.1 1194\nsetenv LD_PRELOAD /tmp/x.so\n", "preload"),
  };
  for (const auto& entry : fs::recursive_directory_iterator(home)) ASSERT_EQ(::lchown(entry.path().c_str(), kUser, kUser), 0);
  ASSERT_EQ(::lchown(home.c_str(), kUser, kUser), 0);

  const std::string endpoint = (scratch.path() / "killswitch.sock").string();
  std::vector<std::string> requests;
  for (const auto& profile : profiles) requests.push_back(startRequest(profile));
  requests.push_back("OPENVPN_STATUS\n");
  UserAsker asker(endpoint, requests);
  KillSwitchService service(scratch.path(), {}, endpoint);
  ASSERT_TRUE(service.waitUntilAnswering());
  EXPECT_EQ(asker.replies(),
            "ERR config_not_allowed\nERR config_not_allowed\nERR config_not_allowed\nOK STOPPED\n")
      << service.logText();

  pollfd waiting{listener.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 300), 0) << "something connected to the user's listener";
  const std::string log = service.logText();
  EXPECT_EQ(log.find("root-password"), std::string::npos);
  EXPECT_NE(log.find("uid 1000: OPENVPN_START"), std::string::npos) << log;
}

// A user who swaps "openvpn.log" for a FIFO between the service's check and
// the reader's open used to leave that reader blocked in open() for ever,
// and the service with it. The open no longer waits, and what it finds is
// emptied only once it is the user's plain file.
TEST(ServiceReadsAsTheUser, AFifoInPlaceOfTheLogIsRefusedAtOnce) {
  VLVPN_REQUIRE_ENVIRONMENT(geteuid() == 0, "needs root to read as another user");
  TempDir scratch;
  fs::permissions(scratch.path(), fs::perms(0755));
  const auto folder = makeProfile(scratch.path() / "home", "client\nremote 127.0.0.1 1194\n");
  fs::permissions(scratch.path() / "home", fs::perms(0755));
  for (const auto& entry : fs::recursive_directory_iterator(scratch.path() / "home")) {
    ASSERT_EQ(::chown(entry.path().c_str(), kUser, kUser), 0);
  }
  const auto log = folder / "openvpn.log";
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  ASSERT_EQ(::chown(log.c_str(), kUser, kUser), 0);
  service::Requester user;
  user.uid = kUser;
  user.gid = kUser;
  const OpenVpnArguments arguments{(folder / "p.ovpn").string(), std::nullopt, log.string()};

  for (bool withReader : {false, true}) {
    SCOPED_TRACE(withReader ? "the user holds its other end" : "nobody reads it");
    // A reader of the FIFO's other end, as the attacker would hold it.
    UniqueFd reader(withReader ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
    auto opened = std::async(std::launch::async, [&] { return service::openUserProfileFiles(user, arguments); });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "the reader never came back";
    const auto files = opened.get();
    ASSERT_FALSE(files);
    EXPECT_EQ(files.error().api, "open as user");
  }

  // A plain file is still emptied and handed over.
  fs::remove(log);
  std::ofstream(log) << "an old session's lines\n";
  ASSERT_EQ(::chown(log.c_str(), kUser, kUser), 0);
  const auto files = service::openUserProfileFiles(user, arguments);
  ASSERT_TRUE(files) << files.error().api << " " << files.error().code;
  EXPECT_EQ(fs::file_size(log), 0u);
  EXPECT_TRUE(files.value().log);
}

}  // namespace
}  // namespace vlvpn::test
