#include "desktop/tunnel/management_protocol.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_management.h"

namespace vlvpn::tunnel {
namespace {

using test::FakeManagementConnection;

TEST(StateLine, MapsRealTimeAndHistoryLinesAsOpenVpnSendsThem) {
  struct Case {
    const char* line;
    std::optional<std::string> state;
  };
  const Case cases[] = {
      // Real-time reports, UDP and TCP, with 8 and 9 fields.
      {">STATE:1796754052,AUTH,,,,,,\n", "connecting"},
      {">STATE:1796754052,ASSIGN_IP,,10.8.0.2,,,,\r\n", "connecting"},
      {">STATE:1796754052,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,", "connected"},
      {">STATE:1796754052,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,127.0.0.1,50022,fd00::2\n", "connected"},
      {">STATE:1796754060,EXITING,SIGTERM,,,,,\n", "disconnected"},
      {">STATE:1796754060,EXITING,auth-failure,,,,,\n", "disconnected"},
      {">STATE:1,RECONNECTING,ping-restart,,\n", "connecting"},
      {">STATE:1,TCP_CONNECT,,,,,,\n", std::nullopt},
      {">STATE:1,RESOLVE,,,,,,\n", std::nullopt},
      // History lines of the "state" answer.
      {"1796754052,CONNECTING,,,,,,\n", "connecting"},
      {"1796754052,WAIT,,,,,,\n", "connecting"},
      {"1796754052,GET_CONFIG,,,,,,\n", "connecting"},
      {"1796754052,ADD_ROUTES,,,,,,\n", "connecting"},
      {"1796754052,DISCONNECTED,,,,,,\n", "disconnected"},
      {"1796754052,CONNECTED", "connected"},
      {"1796754052,CONNECTED\r\r\n", "connected"},
      {"7,CONNECTED,SUCCESS\n", "connected"},
      // Not state reports.
      {"1796754052,\n", std::nullopt},
      {"1796754052\n", std::nullopt},
      {",CONNECTED,\n", std::nullopt},
      {"x1796754052,CONNECTED,\n", std::nullopt},
      {"1796754052,connected,\n", std::nullopt},
      {"END\r\n", std::nullopt},
      {"SUCCESS: real-time state notification set to ON\n", std::nullopt},
      {">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\n", std::nullopt},
      {">PASSWORD:Verification Failed: 'Auth'\n", std::nullopt},
      {">FATAL:All connections have been connect-retry-max (5) times unsuccessful, exiting\n", std::nullopt},
      {">STATE:\n", std::nullopt},
      {">STATE:CONNECTED\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.line)));
    EXPECT_EQ(parseStateLine(c.line), c.state);
  }
}

TEST(LineBuffer, HandsOutEachLineOnceWhenItsLineFeedArrives) {
  LineBuffer buffer;
  EXPECT_TRUE(buffer.append(">STATE:1796754052,CONN").empty()) << "half a line waits";
  EXPECT_EQ(buffer.append("ECTED,SUCCESS,10.8.0.2,,,,\r\n>STATE:17967"),
            std::vector<std::string>{">STATE:1796754052,CONNECTED,SUCCESS,10.8.0.2,,,,\r\n"});
  EXPECT_EQ(buffer.pending(), ">STATE:17967");
  EXPECT_EQ(buffer.append("54060,EXITING,SIGTERM,,,,,\n\nEND\n"),
            (std::vector<std::string>{">STATE:1796754060,EXITING,SIGTERM,,,,,\n", "\n", "END\n"}));
  EXPECT_EQ(buffer.pending(), "");
  EXPECT_TRUE(buffer.append("").empty());
}

TEST(StateAnswer, TakesTheLastReportAndFallsBackOnTheText) {
  // A ">STATE:" line may come between a command and its answer.
  EXPECT_EQ(stateFromAnswer(">INFO:OpenVPN Management Interface Version 5\n"
                            "1796754052,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,\n"
                            ">STATE:1796754053,RECONNECTING,ping-restart,,,,,\n"
                            "END\n"),
            "connecting");
  EXPECT_EQ(stateFromAnswer("1796754052,WAIT,,,,,,\n1796754052,CONNECTED,SUCCESS,10.8.0.2"), "connected")
      << "the last piece needs no line feed";
  EXPECT_EQ(stateFromAnswer("garbled,CONNECTED,x\nEND\n"), "connected") << "no report, but the text says CONNECTED";
  EXPECT_EQ(stateFromAnswer(",CONNECTED,"), "connected") << "exactly 11 bytes";
  EXPECT_EQ(stateFromAnswer("x,CONNECTED"), "connecting");
  EXPECT_EQ(stateFromAnswer(""), "connecting");
  EXPECT_EQ(stateFromAnswer("END\n"), "connecting");
}

TEST(QueryState, SendsStateAndReadsUntilTheAnswerIsComplete) {
  {
    SCOPED_TRACE("an answer in two pieces, then silence");
    FakeManagementConnection connection;
    connection.push("1796754052,CONNECTING,,,,,,\n1796754052,CONNE");
    connection.push("CTED,SUCCESS,10.8.0.2,,,,\nEND\n");
    EXPECT_EQ(queryState(connection), "connected");
    EXPECT_EQ(connection.rawSends(), std::vector<std::string>{"state\r\n"});
  }
  {
    SCOPED_TRACE("the connection ends after the answer");
    FakeManagementConnection connection;
    connection.push("1796754052,WAIT,,,,,,\nEND\n");
    connection.closeFromPeer();
    EXPECT_EQ(queryState(connection), "connecting");
  }
  {
    SCOPED_TRACE("nothing comes at all: fifteen waits, then the fallback");
    FakeManagementConnection connection;
    EXPECT_EQ(queryState(connection), "connecting");
  }
  {
    SCOPED_TRACE("more than 8192 bytes end the reading");
    FakeManagementConnection connection;
    for (int i = 0; i < 5; ++i) connection.push(std::string(2047, 'x'));
    connection.push("1796754052,CONNECTED,SUCCESS,,,,,\n");
    EXPECT_EQ(queryState(connection), "connecting") << "the report after the limit is never read";
  }
}

}  // namespace
}  // namespace vlvpn::tunnel
