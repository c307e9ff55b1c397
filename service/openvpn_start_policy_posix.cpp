#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::vector<std::string> serviceOpenVpnArguments() {
  return {"--script-security", "1", "--mark", std::to_string(kServiceOpenVpnMark)};
}

std::vector<std::filesystem::path> openVpnExecutables(const std::vector<std::filesystem::path>& allowedFolders) {
  std::vector<std::filesystem::path> executables;
  for (const auto& folder : allowedFolders) executables.push_back(folder / "openvpn");
  return executables;
}

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

Result<OpenedFile, OsError> holdExecutable(const std::string& exe) {
  // O_PATH: the service needs no right on the file to hold it, and the
  // kernel can still start it through /proc/self/fd.
  const int fd = ::open(exe.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return OsError{"open", static_cast<uint32_t>(errno)};
  OpenedFile held(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return OsError{"open", EACCES};
  return held;
}

bool isHeldFileAt(const OpenedFile& held, const std::string& exe) {
  struct stat heldInfo {}, pathInfo {};
  return ::fstat(static_cast<int>(held.native()), &heldInfo) == 0 && ::lstat(exe.c_str(), &pathInfo) == 0 &&
         heldInfo.st_dev == pathInfo.st_dev && heldInfo.st_ino == pathInfo.st_ino;
}

}  // namespace vlvpn::service
