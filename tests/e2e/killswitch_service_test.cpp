// The real VLVPNKillSwitch in console mode, on an endpoint of the test's own.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

TEST(KillSwitchServiceProcess, AnswersTheProtocolAndLogsEachRequest) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.started());
  ASSERT_TRUE(service.waitUntilAnswering());

  EXPECT_EQ(service.request("pInG"), "PONG");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
  EXPECT_EQ(service.request("DISABLE"), "OK");
  EXPECT_EQ(service.request("UNBLOCK_IPV6"), "OK");
  EXPECT_EQ(service.request("OPENVPN_START\t\t--config x"), "ERR empty_exe");
  EXPECT_EQ(service.request("HELLO\r\nforged line"), "ERR unknown_command");

  const auto exitCode = service.stop();
  const std::string log = service.logText();
  EXPECT_NE(log.find(" service started\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" OPENVPN_STATUS -> OK STOPPED\r\n"), std::string::npos);
  EXPECT_NE(log.find(" OPENVPN_START  --config x -> ERR empty_exe\r\n"), std::string::npos);
  EXPECT_NE(log.find(" HELLO\\x0D\\x0Aforged line -> ERR unknown_command\r\n"), std::string::npos);
  if (consoleServiceShutsDownCleanly()) {
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(log.find(" service stopping\r\n"), std::string::npos);
  }
}

TEST(KillSwitchServiceProcess, ServesManyClientsAndSurvivesOddOnes) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.started());
  ASSERT_TRUE(service.waitUntilAnswering());

  // A client that closes without writing, and one that stays silent.
  EXPECT_EQ(serviceRequest(service.endpoint, ""), "");
  auto silent = std::async(std::launch::async, [&] { return serviceRequest(service.endpoint, "PIN"); });

  std::vector<std::future<std::string>> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(std::async(std::launch::async, [&, i] { return service.request(i % 2 ? "PING" : "OPENVPN_STATUS"); }));
  }
  for (int i = 0; i < 16; ++i) EXPECT_EQ(clients[i].get(), i % 2 ? "PONG" : "OK STOPPED") << i;

  // More than 65,536 bytes without a line feed is a whole request.
  EXPECT_EQ(serviceRequest(service.endpoint, std::string(70000, 'A')), "ERR unknown_command");
  EXPECT_EQ(service.request("PING"), "PONG");
  const auto exitCode = service.stop();
  if (consoleServiceShutsDownCleanly()) {
    EXPECT_EQ(exitCode, 0) << "a silent client does not hold the service up";
  }
  EXPECT_EQ(silent.get(), "");
}

}  // namespace
}  // namespace vlvpn::test
