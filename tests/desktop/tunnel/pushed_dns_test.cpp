#include "desktop/tunnel/pushed_dns.h"

#include <gtest/gtest.h>

namespace vlvpn::tunnel {
namespace {

TEST(PushedDns, FindsDnsServersInTheLastPushReply) {
  struct Case {
    const char* log;
    bool carriesDns;
  };
  const Case cases[] = {
      {"2026-12-09 PUSH: Received control message: 'PUSH_REPLY,route-gateway 10.8.0.1,topology subnet,"
       "dhcp-option DNS 10.8.0.1,ifconfig 10.8.0.2 255.255.255.0,peer-id 0'\n",
       true},
      {"PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS6 fd00::1,ping 10'\n", true},
      {"PUSH: Received control message: 'PUSH_REPLY,dns server 0 address 10.8.0.1,ping 10'\n", true},
      {"PUSH: Received control message: 'PUSH_REPLY,dhcp-option DOMAIN corp.example,route 10.0.0.0'\n", false},
      {"PUSH: Received control message: 'PUSH_REPLY,route-gateway 10.8.0.1,ifconfig 10.8.0.2'\n", false},
      // A reconnect to a server that no longer pushes DNS: the last reply counts.
      {"PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 10.8.0.1'\n"
       "PUSH: Received control message: 'PUSH_REPLY,ifconfig 10.8.0.6 255.255.255.0'\n",
       false},
      // Not a pushed option: a line the profile or a log message happens to hold.
      {"Options: dhcp-option DNS 1.1.1.1\nPUSH: Received control message: 'PUSH_REPLY,ping 10'\n", false},
      {"PUSH: Received control message: 'PUSH_REPLY,ping 10'\nMANAGEMENT: >dhcp-option DNS 9.9.9.9\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    EXPECT_EQ(pushedDnsServers(c.log), c.carriesDns);
  }
  EXPECT_FALSE(tunnelCarriesDns("/no/such/openvpn.log"));
}

}  // namespace
}  // namespace vlvpn::tunnel
