#include "desktop/tunnel/management_access.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_management.h"

namespace vlvpn::tunnel {
namespace {

using namespace std::chrono_literals;
using test::FakeManagementConnection;

// OpenVPN as it greets a client: with a password file it asks for the
// password (no line end) and answers it; without one it says who it is.
TEST(ManagementLogin, GivesThePasswordOnlyWhenAskedAndReadsTheVerdict) {
  struct Case {
    const char* name;
    std::string greeting;
    std::string verdict;  // pushed once the password arrived
    ManagementLogin login;
    std::vector<std::string> sent;
  };
  const std::string banner = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n";
  const Case cases[] = {
      {"asked and taken", "ENTER PASSWORD:", "SUCCESS: password is correct\r\n" + banner, ManagementLogin::LoggedIn,
       {"s3cret\r\n"}},
      {"asked and refused", "ENTER PASSWORD:", "ERROR: bad password\r\nENTER PASSWORD:", ManagementLogin::Refused,
       {"s3cret\r\n"}},
      {"no password asked", banner, "", ManagementLogin::Open, {}},
      {"another client holds the interface", "", "", ManagementLogin::Silent, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeManagementConnection connection;
    if (!c.greeting.empty()) connection.push(c.greeting);
    connection.onCommand = [&](FakeManagementConnection& self, const std::string&) {
      if (!c.verdict.empty()) self.push(c.verdict);
    };
    EXPECT_EQ(logInToManagement(connection, "s3cret", 50ms), c.login);
    EXPECT_EQ(connection.rawSends(), c.sent);
  }
}

TEST(ManagementLogin, APortWhosePasswordIsRefusedGivesNoConnection) {
  struct Port : ManagementPort {
    std::string verdict;
    std::shared_ptr<ManagementConnection> connect() override {
      auto connection = std::make_shared<FakeManagementConnection>();
      connection->push("ENTER PASSWORD:");
      connection->onCommand = [this](FakeManagementConnection& self, const std::string&) { self.push(verdict); };
      return connection;
    }
  };
  auto port = std::make_shared<Port>();
  LoggingInManagementPort loggingIn(port, [] { return std::string("right"); }, 50ms);
  port->verdict = "SUCCESS: password is correct\r\n";
  EXPECT_NE(loggingIn.connect(), nullptr);
  port->verdict = "ERROR: bad password\r\n";
  EXPECT_EQ(loggingIn.connect(), nullptr);

  struct SilentPort : ManagementPort {
    std::shared_ptr<ManagementConnection> connect() override { return std::make_shared<FakeManagementConnection>(); }
  };
  LoggingInManagementPort silent(std::make_shared<SilentPort>(), [] { return std::string("right"); }, 50ms);
  EXPECT_EQ(silent.connect(), nullptr) << "its first command would be taken for the password";
}

TEST(ManagementPassword, IsFreshEachTimeAndReadBackFromItsFirstLine) {
  const std::string first = newManagementPassword(), second = newManagementPassword();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);
  EXPECT_EQ(managementPasswordOf(first + "\n"), first);
  EXPECT_EQ(managementPasswordOf("abc\r\nrest"), "abc");
  EXPECT_EQ(managementPasswordOf(""), "");
}

}  // namespace
}  // namespace vlvpn::tunnel
