#include "desktop/shell/instance_name.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace vlvpn::shell {

std::string instanceSuffix() {
  const char* configured = std::getenv("VLVPN_DESK_INSTANCE");
  if (!configured) return {};
  const std::string_view suffix(configured);
  const bool plain = suffix.size() <= 64 && std::all_of(suffix.begin(), suffix.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
  return plain ? std::string(suffix) : std::string();
}

std::string singleInstanceName() { return "VLVPNDesk-SingleInstance" + instanceSuffix(); }

std::string trayWindowClassName() { return "VLVPNTrayWindow" + instanceSuffix(); }

}  // namespace vlvpn::shell
