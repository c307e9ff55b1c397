// Text helpers of the service's protocol.
#pragma once

#include <string>
#include <string_view>

namespace vlvpn::service {

// Removes leading and trailing spaces, tabs, CRs and LFs.
std::string_view trimSpace(std::string_view text);

// A request as one log line: trimmed, tabs as spaces, and every other byte
// below 0x20 (and DEL) as \xNN, so no request can start a line of its own.
std::string requestForLog(std::string_view request);

// Control bytes as \xNN; for paths and other request text quoted in the log.
std::string escapeControlBytes(std::string_view text);

}  // namespace vlvpn::service
