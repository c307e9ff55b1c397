// One desktop program per user. A second start hands over to the first
// (Windows: the first shows its main window) and ends.
#pragma once

namespace vlvpn::shell {

// True for the first instance, which keeps the claim until it ends; false
// for a later one, after it has handed over.
bool claimSingleInstance();  // per platform

}  // namespace vlvpn::shell
