#include <windows.h>

#include "common/win32/wide.h"
#include "service/service_log.h"

namespace vlvpn::service {

LocalTime localTimeNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

std::filesystem::path serviceDataPath(std::string_view fileName) {
  wchar_t programData[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring folder = std::wstring(programData) + L"\\VelmoraVPN";
  CreateDirectoryW(folder.c_str(), nullptr);  // normally there already
  return std::filesystem::path(folder + L"\\" + wideFromUtf8(fileName));
}

}  // namespace vlvpn::service
