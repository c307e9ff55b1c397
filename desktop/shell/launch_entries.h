// The texts behind a start at log-on: the command line that marks one, the
// Windows Run value and the Linux autostart entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vlvpn::shell {

inline constexpr std::string_view kStartupArgument = "--startup";

// A log-on start: "--startup" anywhere in the command line, exactly so.
bool isLogOnStart(std::string_view commandLine);

// The Run value's data: the program path in double quotes, so a path with
// spaces is never run as its first word, then " --startup".
std::u16string runValueData(std::u16string_view programPath);

// The XDG autostart entry that starts `programPath` with --startup, its
// path quoted and escaped as the desktop-entry format requires; nullopt for
// a path holding a control character, which no entry can carry.
std::optional<std::string> autostartEntry(std::string_view programPath);

}  // namespace vlvpn::shell
