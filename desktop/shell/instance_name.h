// The names one desktop program claims for itself: the single-instance
// mutex or lock and the tray window's class. $VLVPN_DESK_INSTANCE (letters,
// digits, '-' and '_') is appended to each, so tests can run programs side
// by side; unset, the names are the product's own.
#pragma once

#include <string>

namespace vlvpn::shell {

std::string instanceSuffix();

// "VLVPNDesk-SingleInstance" + suffix.
std::string singleInstanceName();

// "VLVPNTrayWindow" + suffix.
std::string trayWindowClassName();

}  // namespace vlvpn::shell
