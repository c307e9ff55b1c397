#include <sys/stat.h>
#include <unistd.h>

#include "service/openvpn_start_policy.h"

namespace vlvpn::service {
namespace {

bool ownedByServiceAndNotShared(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  const bool trustedOwner = info.st_uid == 0 || info.st_uid == geteuid();
  return trustedOwner && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::vector<std::filesystem::path> allowedOpenVpnFolders(const std::filesystem::path& serviceFolder) {
  const auto parent = serviceFolder.parent_path();
  return {serviceFolder, serviceFolder / "openvpn", parent, parent / "openvpn", "/usr/sbin", "/usr/local/sbin"};
}

bool isOpenVpnFileName(std::string_view fileName) { return fileName == "openvpn"; }

const PathStyle& nativePathStyle() { return kPosixPaths; }

bool isProtectedFromUsers(const std::filesystem::path& file) {
  return ownedByServiceAndNotShared(file) && ownedByServiceAndNotShared(file.parent_path());
}

}  // namespace vlvpn::service
