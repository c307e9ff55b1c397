#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "common/path_bytes.h"
#include "common/win32/unique_handle.h"
#include "service/deadline_call_win32.h"
#include "service/file_checks_win32.h"
#include "service/user_path_win32.h"
#include "service/user_files.h"

namespace vlvpn::service {

const uint32_t kUserFilesTimedOut = ERROR_TIMEOUT;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

OsError lastError(const char* api) { return OsError{api, GetLastError()}; }

// The whole file behind `handle`, refused unread above kMaxUserFileBytes.
Result<std::string, OsError> readAll(HANDLE handle) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) return lastError("GetFileSizeEx");
  if (static_cast<uint64_t>(size.QuadPart) > kMaxUserFileBytes) return OsError{"read", ERROR_FILE_TOO_LARGE};
  std::string content;
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &n, nullptr)) return lastError("ReadFile");
    if (n == 0) return content;
    content.append(buffer, n);
    if (content.size() > kMaxUserFileBytes) return OsError{"read", ERROR_FILE_TOO_LARGE};  // it grew meanwhile
  }
}

}  // namespace

// Both walk the path as a user's file is opened (openUserPath): a query by
// path would follow a junction swapped in above the name it asks about.
bool isFreeOfLinks(const std::filesystem::path& path) {
  return openUserPath(systemNtFileCalls(), utf8FromPath(path), {FILE_READ_ATTRIBUTES, kShareAll, false}).ok();
}

bool isAbsentOrPlainFile(const std::filesystem::path& file) {
  auto handle = openUserPath(systemNtFileCalls(), utf8FromPath(file), {FILE_READ_ATTRIBUTES, kShareAll});
  if (!handle) return handle.error().code == ERROR_FILE_NOT_FOUND;
  return isPlainFile(handle.value().get());
}

Result<std::string, OsError> readPlainFile(const std::filesystem::path& file) {
  auto handle = openUserPath(systemNtFileCalls(), utf8FromPath(file), {GENERIC_READ, FILE_SHARE_READ});
  if (!handle) return handle.error();
  if (!isPlainFile(handle.value().get())) return OsError{"CreateFileW", ERROR_ACCESS_DENIED};
  return readAll(handle.value().get());
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

// ---------------------------------------------------------------------------
// Reading a user's files for that user.
//
// The client allows identification only, so the service cannot open files
// as the user. Instead it opens each file itself one name at a time, through
// no reparse point anywhere on the way (openUserPath), makes sure the handle
// is the file the path names (its final path is the path asked for), and
// asks the system whether the client's token may read it, or write it, from
// the file's own security descriptor. What is read is then what the handle
// holds, which no later swap can change. All of it runs under a deadline.

namespace vlvpn::service {
namespace {

// Whether the owner of `token` is granted `desired` (generic file rights
// allowed) on the object behind `handle`, which must carry READ_CONTROL.
bool tokenMayAccess(HANDLE token, HANDLE handle, DWORD desired) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  MapGenericMask(&desired, &mapping);
  PRIVILEGE_SET privileges{};
  DWORD privilegesLength = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  const BOOL checked =
      AccessCheck(descriptor, token, desired, &mapping, &privileges, &privilegesLength, &granted, &allowed);
  LocalFree(descriptor);
  return checked && allowed;
}

// The file the user may read, read. Writing and deleting stay shared out
// while it is read, so the user's own programs are not disturbed.
Result<std::string, OsError> readForUser(HANDLE token, const std::string& file) {
  auto handle = openUserPath(systemNtFileCalls(), file, {GENERIC_READ | READ_CONTROL, FILE_SHARE_READ});
  if (!handle) return handle.error();
  if (!isPlainFile(handle.value().get()) || !isReachedByPath(handle.value().get(), pathFromUtf8(file))) {
    return OsError{"CreateFileW", ERROR_ACCESS_DENIED};
  }
  if (!tokenMayAccess(token, handle.value().get(), FILE_GENERIC_READ)) return OsError{"AccessCheck", ERROR_ACCESS_DENIED};
  return readAll(handle.value().get());
}

// The user's log, opened for writing and emptied, as OpenVPN's --log would:
// a file the user made (the desktop program makes it before each start) and
// may write. The service never creates a file on a user's behalf: with its
// rights it would land wherever the path leads. Shared like OpenVPN's own
// log: the desktop program reads it while it grows, and the next start opens
// it while this OpenVPN still writes. The handle is not inheritable; the
// launcher hands a copy to OpenVPN.
Result<OpenedFile, OsError> openLogForUser(HANDLE token, const std::string& file) {
  auto log = openUserPath(systemNtFileCalls(), file, {GENERIC_WRITE | READ_CONTROL, kShareAll});
  if (!log) return log.error();
  const HANDLE handle = log.value().get();
  if (!tokenMayAccess(token, handle, FILE_GENERIC_WRITE)) return OsError{"AccessCheck", ERROR_ACCESS_DENIED};
  if (!isPlainFile(handle) || !isReachedByPath(handle, pathFromUtf8(file))) return OsError{"CreateFileW", ERROR_ACCESS_DENIED};
  if (!SetEndOfFile(handle)) return lastError("SetEndOfFile");
  return OpenedFile(reinterpret_cast<intptr_t>(log.value().release()));
}

Result<UserProfileFiles, OsError> openForUser(HANDLE token, const OpenVpnArguments& arguments) {
  auto files = readProfileTexts(arguments, [&](const std::string& path) { return readForUser(token, path); });
  if (!files) return files;
  auto log = openLogForUser(token, arguments.logPath);
  if (!log) return log.error();
  files.value().log = std::move(log).value();
  return files;
}

}  // namespace

void OpenedFile::close() {
  if (native_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = -1;
}

Result<UserProfileFiles, OsError> openUserProfileFiles(const Requester& requester, const OpenVpnArguments& arguments) {
  if (!requester.token) return readProfileFilesAsService(arguments);
  // On a thread of its own, which holds the token and the arguments, so a
  // file the user keeps from answering stalls that thread only.
  auto files = callWithDeadline<Result<UserProfileFiles, OsError>>(
      kUserFilesDeadline, [token = requester.token, arguments] { return openForUser(token.get(), arguments); });
  if (!files) return files.error();
  return std::move(files).value();
}

}  // namespace vlvpn::service
