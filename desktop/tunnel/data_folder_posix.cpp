#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "desktop/tunnel/data_folder.h"

namespace vlvpn::tunnel {

std::filesystem::path localDataBase() {
  // An empty or relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* entry = getpwuid(getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  if (!home || !*home) return {};
  return std::filesystem::path(home) / ".local" / "share";
}

}  // namespace vlvpn::tunnel
