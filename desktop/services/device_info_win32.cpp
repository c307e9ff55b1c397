#include <windows.h>

#include <vector>

#include "common/text.h"
#include "common/win32/wide.h"
#include "desktop/services/device_info.h"

namespace vlvpn::services {
namespace {

// A REG_SZ value of HKEY_LOCAL_MACHINE in the 64-bit view, up to its first
// NUL; empty when missing, of another type or larger than 1024 bytes.
std::string readHklmString(const wchar_t* subKey, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return {};
  wchar_t buffer[512] = {};
  DWORD size = sizeof buffer;
  DWORD type = 0;
  const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  buffer[511] = L'\0';
  return utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(buffer)));
}

}  // namespace

std::string_view genericPcName() { return "Windows PC"; }

DeviceFacts readDeviceFacts() {
  constexpr wchar_t kBios[] = L"HARDWARE\\DESCRIPTION\\System\\BIOS";
  constexpr wchar_t kCurrent[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  DeviceFacts facts;
  facts.productName = readHklmString(kBios, L"SystemProductName");
  facts.manufacturer = readHklmString(kBios, L"SystemManufacturer");
  facts.displayVersion = readHklmString(kCurrent, L"DisplayVersion");
  facts.majorVersion = readHklmString(kCurrent, L"CurrentMajorVersionNumber");
  facts.minorVersion = readHklmString(kCurrent, L"CurrentMinorVersionNumber");
  facts.buildNumber = readHklmString(kCurrent, L"CurrentBuildNumber");
  return facts;
}

std::string programVersion() {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return "1.0.0";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return "1.0.0";
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return "1.0.0";
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info || length == 0) {
    return "1.0.0";
  }
  return versionFromProductVersion(info->dwProductVersionMS, info->dwProductVersionLS);
}

}  // namespace vlvpn::services
