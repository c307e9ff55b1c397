// Text helpers of the service's protocol.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vlvpn::service {

// Removes leading and trailing spaces, tabs, CRs and LFs.
std::string_view trimSpace(std::string_view text);

// A request as one log line: trimmed, tabs as spaces, and every other byte
// below 0x20 (and DEL) as \xNN, so no request can start a line of its own;
// cut after kLoggedRequestBytes bytes with a mark that says so, so that no
// client can wash everyone else's requests out of the rotated log.
inline constexpr size_t kLoggedRequestBytes = 512;
std::string requestForLog(std::string_view request);

// Control bytes as \xNN; for paths and other request text quoted in the log.
std::string escapeControlBytes(std::string_view text);

}  // namespace vlvpn::service
