#include "service/pipe_holder_win32.h"

#include <windows.h>

#include <iterator>

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"

namespace vlvpn::service {

std::string pipeServerOf(const std::wstring& name) {
  UniqueFileHandle pipe(CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  ULONG pid = 0;
  if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &pid)) {
    return "a process that cannot be named (" + std::to_string(GetLastError()) + ")";
  }
  std::string holder = "pid " + std::to_string(pid);
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t image[MAX_PATH * 2];
  DWORD length = static_cast<DWORD>(std::size(image));
  if (process && QueryFullProcessImageNameW(process.get(), 0, image, &length)) {
    holder += " (" + utf8FromWide(std::wstring(image, length)) + ")";
  }
  return holder;
}

}  // namespace vlvpn::service
