#include <windows.h>
#include <commdlg.h>
#include <ole2.h>
#include <tlhelp32.h>

#include "common/text.h"
#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "desktop/services/applications.h"

namespace vlvpn::services {

std::string_view nativePathSeparators() { return "\\"; }

std::optional<std::string> chooseApplicationFile() {
  OleInitialize(nullptr);
  wchar_t path[MAX_PATH] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.lpstrFilter = L"Applications (*.exe)\0*.exe\0All files\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = L"Choose an app to close when the VPN drops";
  dialog.lpstrInitialDir = L"C:\\Program Files";
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  const BOOL chosen = GetOpenFileNameW(&dialog);
  OleUninitialize();
  if (!chosen) return std::nullopt;
  return utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(path)));
}

std::vector<std::string> terminateApplications(const std::vector<std::string>& names) {
  std::vector<RunningProcess> snapshot;
  UniqueFileHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes) return {};
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(processes.get(), &entry); more; more = Process32NextW(processes.get(), &entry)) {
    snapshot.push_back({entry.th32ProcessID, utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(entry.szExeFile)))});
  }
  std::vector<std::string> ended;
  for (const auto& process : matchingProcesses(snapshot, names)) {
    UniqueHandle handle(OpenProcess(PROCESS_TERMINATE, FALSE, process.pid));
    if (handle && TerminateProcess(handle.get(), 0)) ended.push_back(process.exeFileName);
  }
  return ended;
}

}  // namespace vlvpn::services
