#include "service/openvpn_start_policy.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "common/path_bytes.h"
#include "common/path_component.h"
#include "common/text.h"
#include "service/user_files.h"

namespace vlvpn::service {
namespace {

bool sameName(std::string_view a, std::string_view b, const PathStyle& style) {
  return style.caseInsensitive ? asciiLower(a) == asciiLower(b) : a == b;
}

}  // namespace

std::optional<std::vector<std::string>> plainAbsolutePath(std::string_view path, const PathStyle& style) {
  const auto isSeparator = [&](char c) { return style.separators.find(c) != std::string_view::npos; };
  std::vector<std::string> components;
  if (style.driveLetters) {
    if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' || !isSeparator(path[2])) {
      return std::nullopt;  // relative, drive-relative, UNC and \\?\ paths alike
    }
    components.emplace_back(path.substr(0, 2));
    path.remove_prefix(3);
  } else {
    if (path.empty() || !isSeparator(path[0])) return std::nullopt;
    components.emplace_back();
    path.remove_prefix(1);
  }
  while (true) {
    size_t end = 0;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::string_view component = path.substr(0, end);
    if (component.empty() || component == "." || component == "..") return std::nullopt;
    if (component.find('\0') != std::string_view::npos) return std::nullopt;
    if (style.driveLetters && component.find(':') != std::string_view::npos) return std::nullopt;
    components.emplace_back(component);
    if (end == path.size()) break;
    path.remove_prefix(end + 1);
  }
  return components;
}

std::optional<OpenVpnArguments> checkProfileArguments(std::string_view args, const PathStyle& style) {
  auto arguments = parseOpenVpnArguments(args);
  if (!arguments) return std::nullopt;

  auto config = plainAbsolutePath(arguments->configPath, style);
  auto log = plainAbsolutePath(arguments->logPath, style);
  if (!config || !log) return std::nullopt;
  std::optional<std::vector<std::string>> credentials, password;
  if (arguments->credentialsPath) {
    credentials = plainAbsolutePath(*arguments->credentialsPath, style);
    if (!credentials) return std::nullopt;
  }
  if (arguments->managementPasswordPath) {
    password = plainAbsolutePath(*arguments->managementPasswordPath, style);
    if (!password) return std::nullopt;
  }

  // ...\VLVPNDesk\profiles\<id>\<file>: at least a root and these four.
  const std::vector<std::string> folder(config->begin(), config->end() - 1);
  if (config->size() < 5) return std::nullopt;
  if (!sameName(folder[folder.size() - 3], "VLVPNDesk", style) || !sameName(folder[folder.size() - 2], "profiles", style)) {
    return std::nullopt;
  }
  const auto inFolder = [&](const std::vector<std::string>& path, std::optional<std::string_view> name) {
    if (path.size() != folder.size() + 1) return false;
    for (size_t i = 0; i < folder.size(); ++i) {
      if (!sameName(path[i], folder[i], style)) return false;
    }
    return !name || sameName(path.back(), *name, style);
  };
  if (!inFolder(*log, "openvpn.log")) return std::nullopt;
  if (credentials && !inFolder(*credentials, "auth.txt")) return std::nullopt;
  if (password && !inFolder(*password, kManagementPasswordFile)) return std::nullopt;
  // One profile folder and one file in it, named as the desktop program names them.
  if (!isPortablePathComponent(folder.back()) || !isPortablePathComponent(config->back())) return std::nullopt;
  // The configuration is the profile's own, not one of the files beside it.
  for (std::string_view beside : {"openvpn.log", "auth.txt", kManagementPasswordFile}) {
    if (sameName(config->back(), beside, style)) return std::nullopt;
  }
  return arguments;
}

bool isInAllowedFolder(const std::string& exe, const std::vector<std::filesystem::path>& allowedFolders) {
  const PathStyle& style = nativePathStyle();
  const auto components = plainAbsolutePath(exe, style);
  if (!components || !isOpenVpnFileName(components->back())) return false;
  for (const auto& folder : allowedFolders) {
    const auto folderComponents = plainAbsolutePath(utf8FromPath(folder), style);
    if (!folderComponents || folderComponents->size() + 1 != components->size()) continue;
    bool same = true;
    for (size_t i = 0; same && i < folderComponents->size(); ++i) {
      same = sameName((*folderComponents)[i], (*components)[i], style);
    }
    if (same) return true;
  }
  return false;
}

bool isAllowedOpenVpn(const std::string& exe, const std::vector<std::filesystem::path>& allowedFolders) {
  if (!plainAbsolutePath(exe, nativePathStyle())) return false;
  // A link would let the check see the real OpenVPN and the start run
  // whatever the link points to by then.
  if (!isFreeOfLinks(pathFromUtf8(exe))) return false;
  std::error_code error;
  const auto resolved = std::filesystem::canonical(pathFromUtf8(exe), error);
  if (error || !isOpenVpnFileName(utf8FromPath(resolved.filename()))) return false;
  if (!std::filesystem::is_regular_file(resolved, error)) return false;
  for (const auto& folder : allowedFolders) {
    const auto resolvedFolder = std::filesystem::canonical(folder, error);
    if (error) continue;
    if (resolved.parent_path() == resolvedFolder) return isProtectedFromUsers(resolved);
  }
  return false;
}

}  // namespace vlvpn::service
