#include "service/dispatcher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "service/connection.h"
#include "tests/support/temp_dir.h"

#include "tests/fakes/recording_service_commands.h"

namespace vlvpn::service {
namespace {

using test::RecordingServiceCommands;

TEST(Dispatch, AnswersEveryCommandAndSpelling) {
  struct Case {
    const char* request;
    const char* reply;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {" PING \r\n", "PONG", {}},
      {"ping", "PONG", {}},
      {"Ping\n", "PONG", {}},
      {"pInG", "PONG", {}},              // locked path
      {"PING extra words", "PONG", {}},  // locked path, extra words ignored
      {"DISABLE", "OK", {"disable"}},
      {"disable now", "OK", {"disable"}},
      {"BLOCK_IPV6", "OK", {"block"}},
      {"unblock_ipv6", "OK", {"unblock"}},
      {"OPENVPN_STOP", "OK", {"stop"}},
      {"OPENVPN_STATUS", "OK STOPPED", {"status"}},
      {"OPENVPN_START", "ERR bad_format", {}},
      {"OPENVPN_START\tC:\\openvpn.exe", "ERR bad_format", {}},
      {"OPENVPN_START\tC:\\openvpn.exe\t--a\t--b", "OK 4242", {"start [C:\\openvpn.exe] [--a\t--b]"}},
      {"OPENVPN_START\t\t--args", "OK 4242", {"start [] [--args]"}},
      {"OPENVPN_STARTED\t/x\t-a", "OK 4242", {"start [/x] [-a]"}},  // only the prefix counts
      {"OPENVPN_START\t/x\t \r\n", "ERR bad_format", {}},  // trimmed before the fields are read
      {"openvpn_start\t/x\t--a", "ERR unknown_command", {}},
      {"", "ERR unknown_command", {}},
      {" \t\r\n", "ERR unknown_command", {}},
      {"REBOOT", "ERR unknown_command", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.request)));
    RecordingServiceCommands commands;
    Dispatcher dispatcher(commands);
    EXPECT_EQ(dispatcher.dispatch(c.request), c.reply);
    EXPECT_EQ(commands.calls, c.calls);
  }
}

TEST(Dispatch, TurnsResultCodesIntoReplies) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  commands.enableResult = 0x80320009;  // an HRESULT-style code stays unsigned
  EXPECT_EQ(dispatcher.dispatch("ENABLE udp 1194 1 1.2.3.4"), "ERR 2150760457");
  commands.blockResult = 1764;
  EXPECT_EQ(dispatcher.dispatch("BLOCK_IPV6"), "ERR 1764");
  commands.statusReply = "OK RUNNING 77";
  EXPECT_EQ(dispatcher.dispatch("openvpn_status"), "OK RUNNING 77");
}

TEST(EnableArguments, ReadLikeStreamExtraction) {
  struct Case {
    const char* words;
    KillSwitchRequest expected;
  };
  const Case cases[] = {
      {"", {}},
      {"udp 1194 1 1.2.3.4,5.6.7.8 C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe",
       {"udp", 1194, true, {0x01020304, 0x05060708}, "C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe"}},
      {"UDP 1194 0 1.2.3.4,,bad, 9.9.9.9 ,10.0.0.1", {"UDP", 1194, false, {0x01020304}, "9.9.9.9 ,10.0.0.1"}},
      {"tcp 443 1 1.2.3.4,,host.name,9.9.9.9", {"tcp", 443, true, {0x01020304, 0x09090909}, ""}},
      {"udp abc 1 1.2.3.4 exe", {"udp", 0, false, {}, ""}},  // one failure empties the rest
      {"udp 99999999999 1 1.2.3.4", {"udp", 0, false, {}, ""}},
      {"udp -5 7 1.1.1.1", {"udp", -5, true, {0x01010101}, ""}},
      {"udp 1194 x 1.1.1.1", {"udp", 1194, false, {}, ""}},
      {"udp 1194", {"udp", 1194, false, {}, ""}},
      {"udp 1194 1 1.1.1.1 /opt/app bin\nNEXT LINE", {"udp", 1194, true, {0x01010101}, "/opt/app bin"}},
      {"udp 1194 1 01.2.3.4,1.2.3.256,1.2.3", {"udp", 1194, true, {}, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words);
    EXPECT_EQ(parseEnableArguments(c.words), c.expected);
  }

  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  EXPECT_EQ(dispatcher.dispatch("enable\ttcp 443 1 1.2.3.4 /usr/bin/my app\r\n"), "OK");
  ASSERT_EQ(commands.enableRequests.size(), 1u);
  EXPECT_EQ(commands.enableRequests[0], (KillSwitchRequest{"tcp", 443, true, {0x01020304}, "/usr/bin/my app"}));
  EXPECT_EQ(dispatcher.dispatch("ENABLE"), "OK");
  EXPECT_EQ(commands.enableRequests[1], KillSwitchRequest{});
}

// A client tells from the instance that the service restarted, and from
// the two flags which sets it holds; either way it can put back what it asked for.
TEST(Dispatch, FilterStatusNamesTheInstanceAndTheSetsInForce) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands, "00c0ffee00c0ffee");
  EXPECT_EQ(dispatcher.dispatch("FILTER_STATUS\n"), "OK 00c0ffee00c0ffee 0 0");
  commands.killSwitchIsOn = true;
  EXPECT_EQ(dispatcher.dispatch("filter_status"), "OK 00c0ffee00c0ffee 1 0");
  commands.ipv6BlockIsOn = true;
  EXPECT_EQ(dispatcher.dispatch("FILTER_STATUS extra words"), "OK 00c0ffee00c0ffee 1 1");

  const std::string first = newServiceInstance(), second = newServiceInstance();
  EXPECT_EQ(first.size(), 16u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
  EXPECT_NE(first, second) << "every start is told apart";
}

// A start reads the user's files, which the user may make slow; it does so
// without the command lock, so every other command is served meanwhile.
TEST(Dispatch, OtherCommandsAreServedWhileAStartReadsTheUsersFiles) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  std::promise<void> reading, release;
  commands.duringPreparation = [&] {
    reading.set_value();
    release.get_future().wait();
  };
  auto start = std::async(std::launch::async, [&] { return dispatcher.dispatch("OPENVPN_START\t/x\t-a"); });
  reading.get_future().wait();
  auto disable = std::async(std::launch::async, [&] { return dispatcher.dispatch("DISABLE"); });
  EXPECT_EQ(disable.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "DISABLE waited for the start";
  EXPECT_EQ(disable.get(), "OK");
  release.set_value();
  EXPECT_EQ(start.get(), "OK 4242");
}

TEST(Dispatch, PingGetsThroughWhileACommandHoldsTheLock) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  std::promise<void> entered, release;
  commands.duringStart = [&] {
    entered.set_value();
    release.get_future().wait();
  };
  auto start = std::async(std::launch::async, [&] { return dispatcher.dispatch("OPENVPN_START\t/x\t-a"); });
  entered.get_future().wait();
  EXPECT_EQ(dispatcher.dispatch("PING"), "PONG");
  auto locked = std::async(std::launch::async, [&] { return dispatcher.dispatch("OPENVPN_STATUS"); });
  EXPECT_EQ(locked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "other commands wait for the lock";
  release.set_value();
  EXPECT_EQ(start.get(), "OK 4242");
  EXPECT_EQ(locked.get(), "OK STOPPED");
}

TEST(Dispatch, ShutdownStopsOpenVpnThenRemovesBothSets) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  dispatcher.shutdown();
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"stop", "disable", "unblock"}));

  // A request that arrives (or finishes arriving) after the stop never runs.
  for (const char* late : {"DISABLE", "UNBLOCK_IPV6", "ENABLE udp 1194 1 1.2.3.4 /p", "OPENVPN_START\t/x\t-a"}) {
    SCOPED_TRACE(late);
    EXPECT_EQ(dispatcher.dispatch(late), "ERR stopping");
  }
  EXPECT_EQ(dispatcher.dispatch("PING"), "PONG");
  EXPECT_EQ(commands.calls.size(), 3u);
}

TEST(Dispatch, EnableKeepsAProgramPathWhole) {
  RecordingServiceCommands commands;
  Dispatcher dispatcher(commands);
  using namespace std::string_literals;
  EXPECT_EQ(dispatcher.dispatch("ENABLE udp 1194 1 1.2.3.4 C:\\Velmora\\VLVPNDesk.exe\0C:\\evil.exe"s), "OK");
  ASSERT_EQ(commands.enableRequests.size(), 1u);
  EXPECT_EQ(commands.enableRequests[0].exe, "C:\\Velmora\\VLVPNDesk.exe\0C:\\evil.exe"s)
      << "not cut at the NUL, so the filter code sees (and refuses) the whole path";
  EXPECT_EQ(dispatcher.dispatch("ENABLE"), "OK");
  EXPECT_EQ(commands.enableRequests[1], KillSwitchRequest{});
}

TEST(AnswerRequest, AFailingCommandAnswersAnErrorInsteadOfEndingTheService) {
  struct Throwing : RecordingServiceCommands {
    std::string openVpnStatus() override { throw std::runtime_error("status went wrong"); }
  } commands;
  Dispatcher dispatcher(commands);
  test::TempDir dir;
  ServiceLog log(dir.path() / "killswitch.log");
  EXPECT_EQ(answerRequest(dispatcher, log, "OPENVPN_STATUS\n"), "ERR internal\n");
  EXPECT_EQ(answerRequest(dispatcher, log, "PING\n"), "PONG\n");
  std::ifstream in(dir.path() / "killswitch.log", std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("OPENVPN_STATUS failed: status went wrong\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace vlvpn::service
