#include "desktop/shell/launch_entries.h"

namespace vlvpn::shell {

bool isLogOnStart(std::string_view commandLine) { return commandLine.find(kStartupArgument) != std::string_view::npos; }

std::u16string runValueData(std::u16string_view programPath) {
  std::u16string data = u"\"";
  data.append(programPath).append(u"\" --startup");
  return data;
}

std::optional<std::string> autostartEntry(std::string_view programPath) {
  // Inside a quoted Exec argument, `"`, `` ` ``, `$` and `\` take a
  // backslash; the value itself then doubles every backslash, and a field
  // code's `%` is written `%%`.
  std::string quoted = "\"";
  for (const char c : programPath) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string exec;
  for (const char c : quoted) {
    if (c == '\\') exec += '\\';
    if (c == '%') exec += '%';
    exec += c;
  }
  std::string entry = "[Desktop Entry]\nType=Application\nName=Velmora VPN\nExec=";
  entry.append(exec).append(" --startup\nX-GNOME-Autostart-enabled=true\n");
  return entry;
}

}  // namespace vlvpn::shell
