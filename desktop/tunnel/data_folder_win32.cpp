#include <windows.h>
#include <shlobj.h>

#include <string>
#include <system_error>

#include "common/win32/mingw_compat.h"
#include "desktop/tunnel/data_folder.h"

namespace vlvpn::tunnel {
namespace {

// The package's local cache folder when the process runs packaged, else nothing.
std::filesystem::path packagedBase(const std::filesystem::path& base) {
  UINT32 length = 0;
  if (GetCurrentPackageFamilyName(&length, nullptr) != ERROR_INSUFFICIENT_BUFFER) return {};
  std::wstring family(length, L'\0');
  if (GetCurrentPackageFamilyName(&length, family.data()) != ERROR_SUCCESS) return {};
  family.resize(wcsnlen(family.c_str(), family.size()));

  const auto candidate = base / L"Packages" / family / L"LocalCache" / L"Local";
  std::error_code ignored;
  std::filesystem::create_directories(candidate, ignored);
  return std::filesystem::exists(candidate, ignored) ? candidate : std::filesystem::path{};
}

}  // namespace

std::filesystem::path localDataBase() {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, buffer))) buffer[0] = L'\0';
  const std::filesystem::path base(buffer);
  auto packaged = packagedBase(base);
  return packaged.empty() ? base : packaged;
}

}  // namespace vlvpn::tunnel
