#include "desktop/killswitch/service_client.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_service_pipe.h"

namespace vlvpn::killswitch {
namespace {

using namespace std::chrono_literals;
using test::FakeServiceScript;


class ServiceClientTest : public testing::Test {
 protected:
  FakeServiceScript script;
  std::chrono::steady_clock::time_point now{};
  ServiceClient client{std::make_unique<test::FakeServicePipe>(script), std::make_unique<test::FakeServiceManager>(script),
                       Clock{[this] { return now; }}};
};

TEST_F(ServiceClientTest, SendsOneLineAndStripsTheReplysLineEnd) {
  script.replies = {"OK 1234\r\n", "PONG  \n"};
  EXPECT_EQ(client.transact("OPENVPN_STATUS"), "OK 1234");
  EXPECT_EQ(client.transact("PING"), "PONG");
  EXPECT_EQ(script.requests, (std::vector<std::string>{"OPENVPN_STATUS\n", "PING\n"}));
  script.replies = {std::string(600, 'x')};
  EXPECT_EQ(client.transact("PING").size(), kMaxReplyBytes) << "one read of at most 511 bytes";
}

TEST_F(ServiceClientTest, AMissingServiceAnswersEmptyAtOnce) {
  script.openFailures = {OpenFailure::NotFound};
  EXPECT_EQ(client.transact("PING"), "");
  EXPECT_EQ(script.opens, 1);
  EXPECT_EQ(now, std::chrono::steady_clock::time_point{}) << "no waiting";
  script.openFailures = {OpenFailure::Other};
  EXPECT_EQ(client.transact("PING"), "");
  EXPECT_TRUE(script.requests.empty());
}

TEST_F(ServiceClientTest, AStoppedServiceAnswersEmptyAtOnceAndOnlyABusyOneIsWaitedFor) {
  // Installed but stopped: no pipe exists. Waiting here would cost every
  // launcher PING the whole deadline before the service is even started.
  script.installed = true;
  script.openFailures = {OpenFailure::NotFound};
  EXPECT_EQ(client.transact("PING"), "");
  EXPECT_EQ(script.opens, 1);
  EXPECT_EQ(now, std::chrono::steady_clock::time_point{});

  script.opens = 0;
  script.openFailures = {OpenFailure::Busy, OpenFailure::Busy};
  script.replies = {"PONG\n"};
  EXPECT_EQ(client.transact("PING"), "PONG") << "a busy service is reached once an instance is free";
  EXPECT_EQ(script.busyWaits, 2);
  EXPECT_EQ(script.opens, 3);
}

TEST_F(ServiceClientTest, ABusyServiceIsWaitedForUntilTheDeadline) {
  script.openFailures.assign(1000, OpenFailure::Busy);
  // Each busy wait of the fake takes no time; the clock moves 100 ms per attempt.
  int attempts = 0;
  ServiceClient slow{std::make_unique<test::FakeServicePipe>(script), std::make_unique<test::FakeServiceManager>(script),
                     Clock{[&] { return std::chrono::steady_clock::time_point{} + 100ms * attempts++; }}};
  EXPECT_EQ(slow.transact("PING"), "");
  EXPECT_EQ(script.busyWaits, 30) << "3 s of 100 ms attempts";
  EXPECT_TRUE(script.requests.empty());
}

TEST_F(ServiceClientTest, StartingOpenVpnGivesTheProcessId) {
  script.replies = {"OK\n", "OK 4242\n"};
  auto outcome = client.startOpenVpnViaService("C:\\OpenVPN\\openvpn.exe", "--config \"x\"");
  EXPECT_EQ(outcome.kind, StartOutcome::Kind::Started);
  EXPECT_EQ(outcome.pid, 4242u);
  EXPECT_EQ(script.requests,
            (std::vector<std::string>{"OPENVPN_STOP\n", "OPENVPN_START\tC:\\OpenVPN\\openvpn.exe\t--config \"x\"\n"}));
}

TEST_F(ServiceClientTest, ALostAnswerIsRecoveredFromTheStatus) {
  script.replies = {"OK\n", "", "OK RUNNING 77\n"};
  auto outcome = client.startOpenVpnViaService("/usr/sbin/openvpn", "--a");
  EXPECT_EQ(outcome.kind, StartOutcome::Kind::Started);
  EXPECT_EQ(outcome.pid, 77u);
}

TEST_F(ServiceClientTest, ASilentServiceIsAskedAtMostThreeMoreTimes) {
  script.replies = {};
  auto outcome = client.startOpenVpnViaService("/usr/sbin/openvpn", "--a");
  EXPECT_EQ(outcome.kind, StartOutcome::Kind::NoAnswer);
  int starts = 0;
  for (const auto& request : script.requests) starts += request.starts_with("OPENVPN_START") ? 1 : 0;
  EXPECT_EQ(starts, 4);
  EXPECT_EQ(outcome.pid, 0u);
}

TEST_F(ServiceClientTest, RefusalsAndOddProcessIdsAreReported) {
  script.replies = {"OK\n", "ERR exe_not_found\r\n"};
  auto refused = client.startOpenVpnViaService("x", "y");
  EXPECT_EQ(refused.kind, StartOutcome::Kind::Refused);
  EXPECT_EQ(refused.error, "Kill-switch service could not start OpenVPN (ERR exe_not_found)");

  script.replies = {"OK\n", "OK banana\n"};
  const auto unreadable = client.startOpenVpnViaService("x", "y");
  EXPECT_EQ(unreadable.kind, StartOutcome::Kind::Started);
  EXPECT_EQ(unreadable.pid, 0u) << "started, without a process id";
}

TEST(ServiceAnswersPing, NeedsPongInAReplyOfFourBytesOrMore) {
  EXPECT_TRUE(serviceAnswersPing("PONG"));
  EXPECT_TRUE(serviceAnswersPing("xPONGx"));
  EXPECT_FALSE(serviceAnswersPing("PON"));
  EXPECT_FALSE(serviceAnswersPing(""));
  EXPECT_FALSE(serviceAnswersPing("pong"));
}

}  // namespace
}  // namespace vlvpn::killswitch
