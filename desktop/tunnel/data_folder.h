// Where the per-user data lives.
#pragma once

#include <filesystem>

namespace vlvpn::tunnel {

// The base folder, computed afresh on every call. Windows: the local
// application-data folder, or the package's local cache folder when the
// program runs packaged. Linux: $XDG_DATA_HOME, else ~/.local/share.
// Empty when neither can be determined.
std::filesystem::path localDataBase();

// localDataBase() / "VLVPNDesk": profiles, prefs, active.txt, killswitch.txt.
std::filesystem::path dataFolder(const std::filesystem::path& base);

}  // namespace vlvpn::tunnel
