#include "service/dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>

#include "common/ipv4.h"
#include "common/text.h"
#include "service/request_text.h"

namespace vlvpn::service {
namespace {

constexpr std::string_view kStartForm = "OPENVPN_START";

std::vector<uint32_t> parseAddressList(const std::string& list) {
  std::vector<uint32_t> addresses;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    if (auto address = parseIpv4(trimSpace(std::string_view(list).substr(start, comma - start)))) {
      addresses.push_back(*address);
    }
    start = comma + 1;
  }
  return addresses;
}

bool isStartForm(std::string_view t) { return t.size() >= kStartForm.size() && t.substr(0, kStartForm.size()) == kStartForm; }

std::string codeReply(uint32_t code) { return code == 0 ? "OK" : "ERR " + std::to_string(code); }

}  // namespace

std::string newServiceInstance() {
  std::random_device entropy;
  const uint64_t value = (uint64_t{entropy()} << 32) | entropy();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

KillSwitchRequest parseEnableArguments(std::string_view afterCommandWord) {
  std::istringstream words{std::string(afterCommandWord)};
  KillSwitchRequest request;
  words >> request.proto;
  if (!(words >> request.port)) request.port = 0;
  int dns = 0;
  if (words >> dns) request.dns = dns != 0;
  std::string addressList;
  words >> addressList;
  request.addresses = parseAddressList(addressList);
  std::string exe;
  if (words) std::getline(words, exe);
  request.exe = std::string(trimSpace(exe));
  return request;
}

std::string Dispatcher::dispatch(std::string_view request, const Requester& requester) {
  const std::string_view t = trimSpace(request);
  if (isHealthCheck(t)) return "PONG";
  // Only the prefix is compared: OPENVPN_STARTX<tab>... is the same form.
  if (isStartForm(t)) return startOpenVpn(t, requester);
  std::lock_guard lock(commandLock_);
  return dispatchLocked(t);
}

std::string Dispatcher::startOpenVpn(std::string_view t, const Requester& requester) {
  const size_t firstTab = t.find('\t');
  if (firstTab == std::string_view::npos) return "ERR bad_format";
  const size_t secondTab = t.find('\t', firstTab + 1);
  if (secondTab == std::string_view::npos) return "ERR bad_format";
  {
    std::lock_guard lock(commandLock_);
    if (shutDown_) return "ERR stopping";
  }
  const std::string exe(t.substr(firstTab + 1, secondTab - firstTab - 1));
  const std::string args(t.substr(secondTab + 1));
  auto prepared = commands_.prepareOpenVpnStart(exe, args, requester);
  if (auto* refused = std::get_if<std::string>(&prepared)) return *refused;
  std::lock_guard lock(commandLock_);
  if (shutDown_) return "ERR stopping";
  return commands_.startOpenVpn(std::get<std::unique_ptr<PreparedStart>>(std::move(prepared)));
}

bool Dispatcher::isHealthCheck(std::string_view request) {
  const std::string_view t = trimSpace(request);
  return t == "PING" || t == "ping" || t == "Ping";
}

std::string Dispatcher::dispatchLocked(std::string_view t) {
  if (shutDown_) return "ERR stopping";

  std::istringstream words{std::string(t)};
  std::string word;
  words >> word;
  const std::string command = asciiUpper(word);
  if (command == "PING") return "PONG";
  if (command == "ENABLE") {
    // All of the rest, NUL bytes included: a path cut short at one would
    // name another program than the one sent.
    const std::streamoff read = words.eof() ? static_cast<std::streamoff>(t.size()) : std::streamoff(words.tellg());
    return codeReply(commands_.enableKillSwitch(parseEnableArguments(t.substr(static_cast<size_t>(read)))));
  }
  if (command == "DISABLE") {
    commands_.disableKillSwitch();
    return "OK";
  }
  if (command == "BLOCK_IPV6") return codeReply(commands_.blockIpv6());
  if (command == "UNBLOCK_IPV6") {
    commands_.unblockIpv6();
    return "OK";
  }
  if (command == "OPENVPN_STOP") {
    commands_.stopOpenVpn();
    return "OK";
  }
  if (command == "OPENVPN_STATUS") return commands_.openVpnStatus();
  if (command == "FILTER_STATUS") {
    return "OK " + instance_ + (commands_.killSwitchOn() ? " 1" : " 0") + (commands_.ipv6BlockOn() ? " 1" : " 0");
  }
  return "ERR unknown_command";
}

void Dispatcher::shutdown() {
  std::lock_guard lock(commandLock_);
  shutDown_ = true;
  commands_.stopOpenVpn();
  commands_.disableKillSwitch();
  commands_.unblockIpv6();
}

}  // namespace vlvpn::service
