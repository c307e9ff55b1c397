// One readable sentence for a failed tunnel, from OpenVPN's log.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vlvpn::tunnel {

// The earliest log line that matches a known failure decides its fixed
// message; failing that, the last line mentioning an error (other than the
// closing "Exiting due to fatal error"), failing that the last line. Empty
// when the log holds no non-empty line.
std::string classifyLogText(std::string_view logText);

// classifyLogText of the file; empty when it cannot be read.
std::string classifyFailure(const std::filesystem::path& logPath);

}  // namespace vlvpn::tunnel
