#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <sstream>

#include "common/posix/unique_fd.h"
#include "desktop/tunnel/openvpn_launcher.h"

namespace vlvpn::tunnel {

bool writeOwnerOnlyFile(const std::filesystem::path& file, std::string_view content) {
  // A new file, so no descriptor anyone opened on an older one sees the content.
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return false;
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return false;
  while (!content.empty()) {
    const ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return true;
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
