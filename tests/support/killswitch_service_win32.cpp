#include <windows.h>

#include <atomic>

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "tests/support/killswitch_service.h"

namespace vlvpn::test {

std::string serviceEndpointFor(const std::filesystem::path&) {
  static std::atomic<int> counter{0};
  return "\\\\.\\pipe\\VLVPNKillSwitch-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

std::string serviceRequest(const std::string& endpoint, std::string_view bytes) {
  const std::wstring name = wideFromUtf8(endpoint);
  UniqueFileHandle pipe;
  for (int attempt = 0; attempt < 50 && !pipe; ++attempt) {
    pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe && GetLastError() != ERROR_PIPE_BUSY) return "";
    if (!pipe) WaitNamedPipeW(name.c_str(), 100);
  }
  if (!pipe || bytes.empty()) return "";
  DWORD written = 0;
  if (!WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return "";
  std::string reply;
  char buffer[256];
  DWORD n = 0;
  while (reply.find('\n') == std::string::npos && ReadFile(pipe.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    reply.append(buffer, n);
  }
  return reply.substr(0, reply.find('\n'));
}

}  // namespace vlvpn::test
