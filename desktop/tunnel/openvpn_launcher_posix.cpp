#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "common/posix/private_file.h"
#include "desktop/tunnel/openvpn_launcher.h"

namespace vlvpn::tunnel {

bool writeOwnerOnlyFile(const std::filesystem::path& file, std::string_view content) {
  return static_cast<bool>(writeNewPrivateFile(file, content));
}

std::vector<std::filesystem::path> openVpnCandidates(const std::filesystem::path& programFolder) {
  std::vector<std::filesystem::path> candidates{programFolder / "openvpn" / "openvpn", programFolder / "openvpn"};
  if (programFolder.has_parent_path() && programFolder.parent_path() != programFolder) {
    candidates.push_back(programFolder.parent_path() / "openvpn" / "openvpn");
    candidates.push_back(programFolder.parent_path() / "openvpn");
  }
  candidates.emplace_back("/usr/sbin/openvpn");
  candidates.emplace_back("/usr/local/sbin/openvpn");
  return candidates;
}

std::filesystem::path openVpnOnPath() {
  const char* path = std::getenv("PATH");
  if (!path) return {};
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const auto candidate = std::filesystem::path(folder) / "openvpn";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace vlvpn::tunnel
