#include <windows.h>

#include "common/win32/unique_handle.h"
#include "desktop/tunnel/openvpn_launcher.h"

namespace vlvpn::tunnel {

bool writeOwnerOnlyFile(const std::filesystem::path& file, std::string_view content) {
  // The per-user data folder's inherited access list is the user's, the
  // system's and the administrators'; a new file, not shared while written.
  DeleteFileW(file.c_str());
  UniqueFileHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return false;
  DWORD written = 0;
  return WriteFile(handle.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
         written == content.size();
}

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
