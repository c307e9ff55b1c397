#include "desktop/tunnel/pushed_dns.h"

#include "common/file_bytes.h"

namespace vlvpn::tunnel {
namespace {

constexpr std::string_view kPushReply = "PUSH_REPLY,";

// The pushed options are separated by commas; each is an option and its words.
bool namesDnsServer(std::string_view option) {
  while (!option.empty() && option.front() == ' ') option.remove_prefix(1);
  return option.starts_with("dhcp-option DNS ") || option.starts_with("dhcp-option DNS6 ") ||
         option.starts_with("dns server ");
}

}  // namespace

bool pushedDnsServers(std::string_view logText) {
  const size_t at = logText.rfind(kPushReply);
  if (at == std::string_view::npos) return false;
  std::string_view options = logText.substr(at + kPushReply.size());
  options = options.substr(0, options.find_first_of("'\r\n"));
  while (!options.empty()) {
    const size_t comma = options.find(',');
    if (namesDnsServer(options.substr(0, comma))) return true;
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

bool tunnelCarriesDns(const std::filesystem::path& logPath) {
  const auto text = readFileBytes(logPath);
  return text && pushedDnsServers(*text);
}

}  // namespace vlvpn::tunnel
