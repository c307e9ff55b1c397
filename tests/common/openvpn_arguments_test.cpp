#include "common/openvpn_arguments.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vlvpn {
namespace {

constexpr const char* kFixed =
    " --management 127.0.0.1 11940 --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5"
    " --ping 10 --ping-restart 60 --windows-driver tap-windows6";

TEST(OpenVpnArguments, FormatsAndParsesTheOneShape) {
  const OpenVpnArguments withAuth{"C:\\d\\home.ovpn", "C:\\d\\auth.txt", "C:\\d\\openvpn.log"};
  const std::string text = formatOpenVpnArguments(withAuth);
  EXPECT_EQ(text, std::string("--config \"C:\\d\\home.ovpn\" --auth-user-pass \"C:\\d\\auth.txt\" --log \"C:\\d\\openvpn.log\"") + kFixed);
  EXPECT_EQ(parseOpenVpnArguments(text), withAuth);

  const OpenVpnArguments withoutAuth{"/p/a b.ovpn", std::nullopt, "/p/openvpn.log"};
  EXPECT_EQ(formatOpenVpnArguments(withoutAuth), std::string("--config \"/p/a b.ovpn\" --log \"/p/openvpn.log\"") + kFixed);
  EXPECT_EQ(parseOpenVpnArguments(formatOpenVpnArguments(withoutAuth)), withoutAuth);

  const auto words = openVpnArgumentVector(withoutAuth);
  ASSERT_GE(words.size(), 6u);
  EXPECT_EQ(words[1], "/p/a b.ovpn");
  EXPECT_EQ(words.back(), "tap-windows6");
  EXPECT_EQ(words.size(), 4u + 17u);

  // The management interface's password file follows the port.
  OpenVpnArguments withPassword = withoutAuth;
  withPassword.managementPasswordPath = "/p/management.txt";
  const std::string passworded = formatOpenVpnArguments(withPassword);
  EXPECT_NE(passworded.find(" --management 127.0.0.1 11940 \"/p/management.txt\" --verb 3"), std::string::npos)
      << passworded;
  EXPECT_EQ(parseOpenVpnArguments(passworded), withPassword);
  const auto passwordWords = openVpnArgumentVector(withPassword);
  const auto port = std::find(passwordWords.begin(), passwordWords.end(), "11940");
  ASSERT_NE(port, passwordWords.end());
  EXPECT_EQ(*(port + 1), "/p/management.txt");
}

TEST(OpenVpnArguments, RefusesEveryOtherShape) {
  const std::string good = std::string("--config \"/c\" --log \"/l\"") + kFixed;
  const std::string bad[] = {
      "",
      good + " ",
      " " + good,
      good + " --script-security 3",
      std::string("--config \"/c\"  --log \"/l\"") + kFixed,
      std::string("--config \"\" --log \"/l\"") + kFixed,
      std::string("--config \"/c\" --log \"/l\" --up /bin/sh") + kFixed,
      std::string("--log \"/l\" --config \"/c\"") + kFixed,
      std::string("--config \"/c\" --auth-user-pass --log \"/l\"") + kFixed,
      std::string("--config \"/c\" --log \"/l\"") + " --management 127.0.0.1 11941 --verb 3",
      std::string("--config /c --log \"/l\"") + kFixed,
      std::string("--config \"/c\" --log \"/l\" --management 127.0.0.1 11940 \"\" --verb 3"),
      std::string("--config \"/c\" --log \"/l\" --management 127.0.0.1 11940 /p/m.txt --verb 3 --connect-retry 2"),
      std::string("--config \"/c\" --log \"/l\" --management 127.0.0.1 11940 \"/m\" \"/n\" --verb 3"),
  };
  for (const auto& text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseOpenVpnArguments(text));
  }
}

}  // namespace
}  // namespace vlvpn
