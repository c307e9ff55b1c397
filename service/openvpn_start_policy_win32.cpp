#include <windows.h>

#include "common/win32/wide.h"
#include "service/openvpn_start_policy.h"

namespace vlvpn::service {
namespace {

std::filesystem::path environmentFolder(const wchar_t* name) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(buffer);
}

}  // namespace

std::vector<std::filesystem::path> allowedOpenVpnFolders(const std::filesystem::path& serviceFolder) {
  const auto parent = serviceFolder.parent_path();
  std::vector<std::filesystem::path> folders{serviceFolder, serviceFolder / L"openvpn", parent, parent / L"openvpn"};
  for (const wchar_t* variable : {L"ProgramFiles", L"ProgramFiles(x86)"}) {
    const auto programFiles = environmentFolder(variable);
    if (!programFiles.empty()) folders.push_back(programFiles / L"OpenVPN" / L"bin");
  }
  return folders;
}

bool isOpenVpnFileName(std::string_view fileName) { return _stricmp(std::string(fileName).c_str(), "openvpn.exe") == 0; }

const PathStyle& nativePathStyle() { return kWindowsPaths; }

bool isProtectedFromUsers(const std::filesystem::path&) { return true; }

}  // namespace vlvpn::service
