// OpenVPN's log after a failed connect, turned into the sentence the user
// reads: whatever the log holds, the message is one of the plain-words
// messages or one of the log's own lines, never a piece of one.
#include <string>

#include "common/text.h"
#include "desktop/tunnel/failure_classifier.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

bool isLineOf(std::string_view log, std::string_view message) {
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string_view::npos) end = log.size();
    if (trimTrailing(log.substr(start, end - start), "\r\n") == message) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view log = fuzz::asText(data, size);
  const std::string message = tunnel::classifyLogText(log);
  if (message.empty()) {
    fuzz::require(log.find_first_not_of("\r\n") == std::string_view::npos, "only an empty log says nothing");
    return 0;
  }
  const bool plainWords = message.starts_with("Authentication failed") || message.starts_with("VPN network adapter") ||
                          message.starts_with("Could not resolve") || message.starts_with("Could not reach") ||
                          message.starts_with("No response from") || message.starts_with("Secure handshake");
  const std::string_view configurationError = "VPN configuration error: ";
  const bool logLine = isLineOf(log, message) ||
                       (message.starts_with(configurationError) && isLineOf(log, message.substr(configurationError.size())));
  fuzz::require(plainWords || logLine, "the message is a plain-words one or a whole line of the log");
  return 0;
}
