// A name that stands for exactly one file or folder on every platform the
// program runs on: a profile identifier, a configuration file name.
#pragma once

#include <string_view>

namespace vlvpn {

// Not empty, not "." or "..", no separator ("/", "\"), no ":", no control
// byte, none of the characters Windows refuses in names ("<>|?*"), no
// trailing dot or space (Windows drops them), and not a reserved device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any case, with or without an
// extension). Such a name can also never break a quoted command line or a
// tab-separated request.
bool isPortablePathComponent(std::string_view name);

}  // namespace vlvpn
