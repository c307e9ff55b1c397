// Whether a tunnel brought DNS servers of its own, from OpenVPN's log: the
// options the server pushed are logged, whole, as the control message that
// carried them.
#pragma once

#include <filesystem>
#include <string_view>

namespace vlvpn::tunnel {

// True when the last "PUSH_REPLY" in the log names a DNS server
// ("dhcp-option DNS", "dhcp-option DNS6" or "dns server").
bool pushedDnsServers(std::string_view logText);

// pushedDnsServers of the file; false when it cannot be read.
bool tunnelCarriesDns(const std::filesystem::path& logPath);

}  // namespace vlvpn::tunnel
