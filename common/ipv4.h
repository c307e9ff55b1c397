// IPv4 addresses in dotted-decimal text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// Four decimal parts of 0 to 255, no leading zeros, nothing else (the rules
// of inet_pton for AF_INET). The address in host byte order.
std::optional<uint32_t> parseIpv4(std::string_view text);
std::string formatIpv4(uint32_t address);

}  // namespace vlvpn
