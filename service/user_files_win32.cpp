#include <windows.h>
#include <sddl.h>

#include "common/win32/unique_handle.h"
#include "service/user_files.h"

namespace vlvpn::service {
namespace {

OsError lastError(const char* api) { return OsError{api, GetLastError()}; }

}  // namespace

bool isFreeOfLinks(const std::filesystem::path& folder) {
  std::filesystem::path prefix;
  for (const auto& component : folder) {
    prefix /= component;
    if (prefix == folder.root_name() || prefix == folder.root_path()) continue;
    const DWORD attributes = GetFileAttributesW(prefix.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  }
  return true;
}

bool isAbsentOrPlainFile(const std::filesystem::path& file) {
  UniqueFileHandle handle(CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
  if (!handle) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) return false;
  const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (info.dwFileAttributes & notPlain) == 0 && info.nNumberOfLinks == 1;
}

Result<std::string, OsError> readPlainFile(const std::filesystem::path& file) {
  if (!isAbsentOrPlainFile(file)) return OsError{"CreateFileW", ERROR_ACCESS_DENIED};
  UniqueFileHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return lastError("CreateFileW");
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle.get(), &size)) return lastError("GetFileSizeEx");
  if (static_cast<uint64_t>(size.QuadPart) > kMaxUserFileBytes) return OsError{"read", ERROR_FILE_TOO_LARGE};
  std::string content;
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle.get(), buffer, sizeof buffer, &n, nullptr)) return lastError("ReadFile");
    if (n == 0) return content;
    content.append(buffer, n);
    if (content.size() > kMaxUserFileBytes) return OsError{"read", ERROR_FILE_TOO_LARGE};  // it grew meanwhile
  }
}

Result<void, OsError> writePrivateFile(const std::filesystem::path& file, const std::string& content) {
  if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return lastError("DeleteFileW");
  // LocalSystem and administrators only; nothing inherited from the folder.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return lastError("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  UniqueFileHandle handle(
      CreateFileW(file.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  LocalFree(descriptor);
  if (!handle) return lastError("CreateFileW");
  DWORD written = 0;
  if (!WriteFile(handle.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
      written != content.size()) {
    return lastError("WriteFile");
  }
  return {};
}

}  // namespace vlvpn::service

namespace vlvpn::service {

void OpenedFile::close() {
  if (native_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = -1;
}

// The pipe's client is not impersonated yet: the files are read with the
// service's rights, without following a reparse point at their last
// component.
Result<UserProfileFiles, OsError> openUserProfileFiles(const Requester&, const OpenVpnArguments& arguments) {
  return readProfileFilesAsService(arguments);
}

}  // namespace vlvpn::service
