#include "desktop/tunnel/tunnel_process_win32.h"

#include <tlhelp32.h>

#include <cwctype>
#include <string>

#include "common/win32/unique_handle.h"
#include "desktop/tunnel/tunnel_process.h"

namespace vlvpn::tunnel {
namespace {

class HandleProcess final : public TunnelProcess {
 public:
  HandleProcess(UniqueHandle process, uint32_t pid) : process_(std::move(process)), pid_(pid) {}
  uint32_t pid() const override { return pid_; }
  bool hasEnded() override { return waitForExit(std::chrono::milliseconds(0)); }
  bool waitForExit(std::chrono::milliseconds timeout) override {
    return WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
  }

 private:
  const UniqueHandle process_;
  const uint32_t pid_;
};

bool equalsIgnoringCase(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::towlower(*a) != std::towlower(*b)) return false;
  }
  return *a == *b;
}

}  // namespace

std::shared_ptr<TunnelProcess> adoptProcessHandle(HANDLE process) {
  const DWORD pid = GetProcessId(process);
  return std::make_shared<HandleProcess>(UniqueHandle(process), pid);
}

std::shared_ptr<TunnelProcess> openTunnelProcess(uint32_t pid) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return nullptr;
  return std::make_shared<HandleProcess>(std::move(process), pid);
}

std::optional<uint32_t> findOpenVpnProcess() {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (equalsIgnoringCase(entry.szExeFile, L"openvpn.exe")) return entry.th32ProcessID;
  }
  return std::nullopt;
}

}  // namespace vlvpn::tunnel
