#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

#include "service/openvpn_start_policy.h"

namespace vlvpn::service {
namespace {

bool trustedOwner(const struct stat& info) { return info.st_uid == 0 || info.st_uid == ::geteuid(); }

}  // namespace

std::vector<std::filesystem::path> allowedOpenVpnFolders(const std::filesystem::path& serviceFolder) {
  const auto parent = serviceFolder.parent_path();
  return {serviceFolder, serviceFolder / "openvpn", parent, parent / "openvpn", "/usr/sbin", "/usr/local/sbin"};
}

bool isOpenVpnFileName(std::string_view fileName) { return fileName == "openvpn"; }

const PathStyle& nativePathStyle() { return kPosixPaths; }

bool isProtectedFromUsers(const std::filesystem::path& file) {
  // Every component from the root down: no link, and no one else who could
  // rename or replace what lies below. A folder others may write counts only
  // when it is sticky (like /tmp), where what root owns stays root's.
  std::filesystem::path prefix;
  for (auto component = file.begin(); component != file.end(); ++component) {
    prefix /= *component;
    struct stat info {};
    if (::lstat(prefix.c_str(), &info) != 0 || S_ISLNK(info.st_mode) || !trustedOwner(info)) return false;
    const bool sharedWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool last = std::next(component) == file.end();
    if (sharedWrite && (last || !S_ISDIR(info.st_mode) || !(info.st_mode & S_ISVTX))) return false;
  }
  return true;
}

}  // namespace vlvpn::service
