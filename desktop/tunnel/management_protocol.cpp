#include "desktop/tunnel/management_protocol.h"

#include "common/text.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string mapOpenVpnState(std::string_view name) {
  if (name == "CONNECTED") return kStateConnected;
  for (const char* connecting : {"CONNECTING", "WAIT", "AUTH", "GET_CONFIG", "ASSIGN_IP", "ADD_ROUTES", "RECONNECTING"}) {
    if (name == connecting) return kStateConnecting;
  }
  if (name == "DISCONNECTED" || name == "EXITING") return kStateDisconnected;
  return {};
}

std::optional<std::string> parseStateLine(std::string_view line) {
  line = trimTrailing(line, "\r\n");
  constexpr std::string_view kRealTime = ">STATE:";
  if (line.starts_with(kRealTime)) {
    line.remove_prefix(kRealTime.size());
  } else {
    // A history line: a time stamp of at least one digit, then a comma.
    size_t digits = 0;
    while (digits < line.size() && isDigit(line[digits])) ++digits;
    if (digits == 0 || digits == line.size() || line[digits] != ',') return std::nullopt;
  }
  const size_t comma = line.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(comma + 1);
  name = name.substr(0, name.find(','));
  std::string state = mapOpenVpnState(name);
  if (state.empty()) return std::nullopt;
  return state;
}

std::vector<std::string> LineBuffer::append(std::string_view bytes) {
  pending_.append(bytes);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(pending_.substr(start, end + 1 - start));
  }
  pending_.erase(0, start);
  return lines;
}

void sendManagementCommand(ManagementConnection* connection, std::string_view command) {
  if (!connection) return;
  std::string line(command);
  line += "\r\n";
  connection->send(line);
}

std::string stateFromAnswer(std::string_view text) {
  std::optional<std::string> last;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    const std::string_view piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (auto state = parseStateLine(piece)) last = std::move(state);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (last) return *last;
  return text.size() >= 11 && text.find(",CONNECTED,") != std::string_view::npos ? kStateConnected : kStateConnecting;
}

std::string queryState(ManagementConnection& connection) {
  sendManagementCommand(&connection, "state");
  std::string gathered;
  for (int wait = 0; wait < kQueryWaits; ++wait) {
    if (connection.waitReadable(kQueryWait) == Readiness::Readable) {
      const std::string bytes = connection.receive(kQueryReceiveBytes);
      if (bytes.empty()) break;
      gathered += bytes;
      if (gathered.size() > kQueryMaxBytes) break;
    } else if (!gathered.empty()) {
      break;
    }
  }
  return stateFromAnswer(gathered);
}

}  // namespace vlvpn::tunnel
