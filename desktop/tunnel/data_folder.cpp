#include "desktop/tunnel/data_folder.h"

namespace vlvpn::tunnel {

std::filesystem::path dataFolder(const std::filesystem::path& base) { return base / "VLVPNDesk"; }

}  // namespace vlvpn::tunnel
