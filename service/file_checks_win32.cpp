#include "service/file_checks_win32.h"

#include <cwchar>
#include <iterator>
#include <string>

namespace vlvpn::service {
namespace {

const wchar_t* withoutLongPrefix(const wchar_t* path) {
  if (std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) return path + 6;  // keeps "\\" for "\\server"
  if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) return path + 4;
  return path;
}

std::wstring longForm(const std::filesystem::path& path) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD length = GetLongPathNameW(path.c_str(), buffer, static_cast<DWORD>(std::size(buffer)));
  if (length == 0 || length >= std::size(buffer)) return path.wstring();
  return buffer;
}

}  // namespace

bool isReachedByPath(HANDLE handle, const std::filesystem::path& path) {
  wchar_t final[MAX_PATH * 4];
  const DWORD length = GetFinalPathNameByHandleW(handle, final, static_cast<DWORD>(std::size(final)),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= std::size(final)) return false;
  const std::wstring expected = longForm(path);
  return CompareStringOrdinal(withoutLongPrefix(final), -1, withoutLongPrefix(expected.c_str()), -1, TRUE) == CSTR_EQUAL;
}

bool isPlainFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (info.dwFileAttributes & notPlain) == 0 && info.nNumberOfLinks == 1;
}

}  // namespace vlvpn::service
