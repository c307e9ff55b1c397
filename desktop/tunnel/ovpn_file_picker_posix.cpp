#include <cstdlib>

#include "common/posix/subprocess.h"
#include "common/text.h"
#include "desktop/tunnel/ovpn_file_picker.h"

namespace vlvpn::tunnel {

std::optional<std::filesystem::path> chooseProfileFile() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) return std::nullopt;

  // zenity exits 1 on cancel and prints the chosen path followed by a line feed.
  auto run = runCapturingOutput({"zenity", "--file-selection", "--title=Import OpenVPN Profile (.ovpn)",
                                 "--file-filter=OpenVPN config (*.ovpn) | *.ovpn", "--file-filter=All files | *"});
  if (!run || run.value().exitCode != 0) return std::nullopt;
  const std::string chosen(trimTrailing(run.value().standardOutput, "\n\r"));
  if (chosen.empty()) return std::nullopt;
  return std::filesystem::path(chosen);
}

}  // namespace vlvpn::tunnel
