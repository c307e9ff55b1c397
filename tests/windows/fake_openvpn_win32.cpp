// A stand-in for openvpn.exe in the Windows tests: under Wine a Linux program
// started through CreateProcessW has no process handle. It notes its command
// line in the --log file and on standard output, then waits to be ended.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  std::wprintf(L"fake openvpn started\n");
  std::fflush(stdout);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--log") != 0) continue;
    if (FILE* log = _wfopen(argv[i + 1], L"wb")) {
      for (int j = 0; j < argc; ++j) std::fprintf(log, "%ls\n", argv[j]);
      std::fclose(log);
    }
  }
  Sleep(INFINITE);
  return 0;
}
