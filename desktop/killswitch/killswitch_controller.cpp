#include "desktop/killswitch/killswitch_controller.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "common/file_bytes.h"
#include "common/text.h"

namespace vlvpn::killswitch {
namespace {

constexpr const char* kEndpointFile = "killswitch.txt";

bool isConnected(const std::string& state) { return state == "connected"; }
bool isActive(const std::string& state) { return state == "connecting" || state == "connected"; }

// strtol's rules: leading white space and a sign allowed, trailing text
// ignored; no number or out of range gives 0.
int32_t parsePort(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    return 0;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

std::string enableRequest(const ServerEndpoint& endpoint, bool allowDns, const std::string& programPath) {
  if (endpoint.addresses.empty() && allowDns) return {};
  return "ENABLE " + (endpoint.proto.empty() ? std::string("any") : endpoint.proto) + " " +
         std::to_string(endpoint.port) + " " + (allowDns ? "1" : "0") + " " +
         (endpoint.addresses.empty() ? std::string("none") : endpoint.addresses) + " " + programPath;
}

std::string formatEndpointFile(const ServerEndpoint& endpoint) {
  return endpoint.proto + "\n" + std::to_string(endpoint.port) + "\n" + endpoint.addresses;
}

ServerEndpoint parseEndpointFile(std::string_view text) {
  std::string fields[3];
  for (auto& field : fields) {
    const size_t end = text.find('\n');
    field = std::string(trimTrailing(text.substr(0, end), "\r\n "));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  ServerEndpoint endpoint;
  endpoint.proto = fields[0];
  endpoint.port = fields[1].empty() ? 0 : parsePort(fields[1]);
  endpoint.addresses = fields[2];
  return endpoint;
}

KillSwitchController::KillSwitchController(Transact transact, std::function<std::filesystem::path()> dataFolder,
                                           std::string programPath, TunnelView tunnel)
    : transact_(std::move(transact)),
      dataFolder_(std::move(dataFolder)),
      programPath_(std::move(programPath)),
      tunnel_(std::move(tunnel)) {}

void KillSwitchController::applyKillSwitch(bool allowDns) {
  const std::string request = enableRequest(tunnel_.endpoint(), allowDns, programPath_);
  if (!request.empty()) transact_(request);
}

void KillSwitchController::saveServerEndpoint(const ServerEndpoint& endpoint) {
  // Failures are not reported: without the file a later run simply has no
  // endpoint to fence.
  const auto folder = dataFolder_();
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  writeFileBytes(folder / kEndpointFile, formatEndpointFile(endpoint));
}

ServerEndpoint KillSwitchController::loadServerEndpoint() {
  const auto text = readFileBytes(dataFolder_() / kEndpointFile);
  return text ? parseEndpointFile(*text) : ServerEndpoint{};
}

void KillSwitchController::removeServerEndpoint() {
  std::error_code ignored;
  std::filesystem::remove(dataFolder_() / kEndpointFile, ignored);
}

void KillSwitchController::onKillSwitchSetting(bool enabled) {
  if (enabled) {
    // In any other state the next connect installs it.
    if (isConnected(tunnel_.state())) applyKillSwitch(true);
    return;
  }
  transact_("DISABLE");
  if (blockIpv6Enabled && isActive(tunnel_.state())) transact_("BLOCK_IPV6");
}

void KillSwitchController::prepareForReconnect() {
  // Fully open while the interface switches servers; the next connect fences
  // the new server's addresses.
  transact_("DISABLE");
}

void KillSwitchController::onBlockIpv6Setting(bool enabled) {
  if (isActive(tunnel_.state())) {
    transact_(enabled ? "BLOCK_IPV6" : "UNBLOCK_IPV6");
  } else if (!enabled) {
    transact_("UNBLOCK_IPV6");
  }
}

}  // namespace vlvpn::killswitch
