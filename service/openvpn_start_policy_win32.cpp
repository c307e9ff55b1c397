#include <windows.h>

#include "common/win32/wide.h"
#include "common/path_bytes.h"
#include "common/win32/unique_handle.h"
#include "service/file_checks_win32.h"
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

std::vector<std::string> serviceOpenVpnArguments() { return {"--script-security", "1"}; }

std::vector<std::filesystem::path> openVpnExecutables(const std::vector<std::filesystem::path>& allowedFolders) {
  std::vector<std::filesystem::path> executables;
  for (const auto& folder : allowedFolders) executables.push_back(folder / L"openvpn.exe");
  return executables;
}

bool isProtectedFromUsers(const std::filesystem::path&) { return true; }

Result<OpenedFile, OsError> holdExecutable(const std::string& exe) {
  // Reading stays shared, so the loader can map the image; writing,
  // renaming and deleting do not.
  UniqueFileHandle handle(CreateFileW(pathFromUtf8(exe).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return OsError{"CreateFileW", GetLastError()};
  if (!isPlainFile(handle.get())) return OsError{"CreateFileW", ERROR_ACCESS_DENIED};
  return OpenedFile(reinterpret_cast<intptr_t>(handle.release()));
}

bool isHeldFileAt(const OpenedFile& held, const std::string& exe) {
  return isReachedByPath(reinterpret_cast<HANDLE>(held.native()), pathFromUtf8(exe));
}

}  // namespace vlvpn::service
