#include <windows.h>

#include "desktop/tunnel/openvpn_launcher.h"

namespace vlvpn::tunnel {

std::vector<std::filesystem::path> openVpnCandidates(const std::filesystem::path& programFolder) {
  std::vector<std::filesystem::path> candidates{programFolder / L"openvpn" / L"openvpn.exe",
                                                programFolder / L"openvpn.exe"};
  if (programFolder.has_relative_path()) {
    candidates.push_back(programFolder.parent_path() / L"openvpn" / L"openvpn.exe");
    candidates.push_back(programFolder.parent_path() / L"openvpn.exe");
  }
  candidates.emplace_back(L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe");
  candidates.emplace_back(L"C:\\Program Files (x86)\\OpenVPN\\bin\\openvpn.exe");
  return candidates;
}

std::filesystem::path openVpnOnPath() {
  wchar_t found[MAX_PATH] = {};
  const DWORD length = SearchPathW(nullptr, L"openvpn.exe", nullptr, MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(found);
}

}  // namespace vlvpn::tunnel
