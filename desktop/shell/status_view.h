// The main window's own content until the interface's host is linked in:
// the product, the connection state and the profile, in plain words.
#pragma once

#include <string>

namespace vlvpn::shell {

struct StatusLines {
  std::u16string product;
  std::u16string state;
  std::u16string profile;  // empty when there is none
  friend bool operator==(const StatusLines&, const StatusLines&) = default;
};

// From the tunnel record's state ("connected", "connecting",
// "disconnected") and profile identifier (UTF-8).
StatusLines statusViewLines(const std::string& state, const std::string& profileId);

}  // namespace vlvpn::shell
