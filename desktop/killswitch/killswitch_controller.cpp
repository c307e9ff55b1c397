#include "desktop/killswitch/killswitch_controller.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <system_error>
#include <vector>

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
  return "ENABLE " + (endpoint.proto.empty() ? std::string("any") : endpoint.proto) + " " +
         std::to_string(endpoint.port) + " " + (allowDns ? "1" : "0") + " " +
         (endpoint.addresses.empty() ? std::string("none") : endpoint.addresses) + " " + programPath;
}

std::optional<ServiceFilterStatus> parseFilterStatus(std::string_view reply) {
  std::vector<std::string> words;
  std::istringstream stream{std::string(reply)};
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.size() != 4 || words[0] != "OK" || words[1].empty()) return std::nullopt;
  const auto flag = [](std::string_view word) -> std::optional<bool> {
    if (word == "1") return true;
    if (word == "0") return false;
    return std::nullopt;
  };
  const auto killSwitch = flag(words[2]), ipv6Block = flag(words[3]);
  if (!killSwitch || !ipv6Block) return std::nullopt;
  return ServiceFilterStatus{std::string(words[1]), *killSwitch, *ipv6Block};
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

bool KillSwitchController::applyKillSwitch(bool allowDns) {
  const std::string request = enableRequest(tunnel_.endpoint(), allowDns, programPath_);
  std::lock_guard lock(wantedLock_);
  wanted_.killSwitch = request;
  return sendKillSwitchLocked();
}

bool KillSwitchController::applyKillSwitchForTunnel() {
  return applyKillSwitch(!(isConnected(tunnel_.state()) && tunnel_.carriesDns()));
}

void KillSwitchController::liftKillSwitch() {
  std::lock_guard lock(wantedLock_);
  wanted_.killSwitch.clear();
  wanted_.killSwitchConfirmed = false;
  killSwitchInForce_ = false;
  transact_("DISABLE");
}

void KillSwitchController::setIpv6Block(bool on) {
  std::lock_guard lock(wantedLock_);
  wanted_.ipv6Block = on;
  if (on) {
    sendIpv6BlockLocked();
  } else {
    wanted_.ipv6BlockConfirmed = false;
    transact_("UNBLOCK_IPV6");
  }
}

bool KillSwitchController::sendKillSwitchLocked() {
  wanted_.killSwitchConfirmed = transact_(wanted_.killSwitch) == "OK";
  killSwitchInForce_ = wanted_.killSwitchConfirmed;
  return wanted_.killSwitchConfirmed;
}

bool KillSwitchController::sendIpv6BlockLocked() {
  wanted_.ipv6BlockConfirmed = transact_("BLOCK_IPV6") == "OK";
  return wanted_.ipv6BlockConfirmed;
}

void KillSwitchController::keepInForce() {
  std::lock_guard lock(wantedLock_);
  const bool wantsKillSwitch = !wanted_.killSwitch.empty();
  if (!wantsKillSwitch && !wanted_.ipv6Block) return;
  const auto status = parseFilterStatus(transact_("FILTER_STATUS"));
  if (!status) return;  // no service to ask now; the next round asks again
  // Another run of the service holds nothing this one asked for, whatever it says.
  const bool restarted = !wanted_.instance.empty() && status->instance != wanted_.instance;
  wanted_.instance = status->instance;
  if (wantsKillSwitch && (restarted || !status->killSwitch || !wanted_.killSwitchConfirmed)) {
    killSwitchInForce_ = false;
    sendKillSwitchLocked();
  }
  if (wanted_.ipv6Block && (restarted || !status->ipv6Block || !wanted_.ipv6BlockConfirmed)) sendIpv6BlockLocked();
}

std::optional<bool> KillSwitchController::killSwitchActive() {
  if (!killSwitchEnabled) return std::nullopt;
  return killSwitchInForce_.load();
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
    if (isConnected(tunnel_.state())) applyKillSwitchForTunnel();
    return;
  }
  liftKillSwitch();
  if (blockIpv6Enabled && isActive(tunnel_.state())) setIpv6Block(true);
}

void KillSwitchController::prepareForReconnect() { applyKillSwitch(true); }

void KillSwitchController::onBlockIpv6Setting(bool enabled) {
  if (isActive(tunnel_.state())) {
    setIpv6Block(enabled);
  } else if (!enabled) {
    setIpv6Block(false);
  }
}

}  // namespace vlvpn::killswitch
