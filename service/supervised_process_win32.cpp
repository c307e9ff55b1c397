#include <windows.h>

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "service/supervised_process.h"

namespace vlvpn::service {
namespace {

class Win32Process final : public SupervisedProcess {
 public:
  Win32Process(UniqueHandle process, DWORD pid) : process_(std::move(process)), pid_(pid) {}

  uint32_t pid() const override { return pid_; }

  std::optional<bool> isRunning() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return code == STILL_ACTIVE;
  }

  void terminate(std::chrono::milliseconds wait) override {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count()));
  }

 private:
  UniqueHandle process_;
  DWORD pid_;
};

class Win32Launcher final : public ProcessLauncher {
 public:
  Result<std::unique_ptr<SupervisedProcess>, OsError> launch(const LaunchSpec& spec) override {
    const std::wstring exe = wideFromUtf8(spec.exe);
    std::wstring commandLine = L"\"" + exe + L"\" " + wideFromUtf8(spec.argumentString);

    std::wstring folder;
    if (const size_t cut = exe.find_last_of(L"\\/"); cut != std::wstring::npos) folder = exe.substr(0, cut);

    UniqueFileHandle output;
    if (!spec.outputFile.empty()) {
      SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
      output.reset(CreateFileW(spec.outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, &inheritable, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    // The user's log, as an inheritable copy: the service's own handle is
    // not inheritable, so no other child could ever get it.
    UniqueHandle userLog;
    if (spec.logFile >= 0 &&
        !DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(spec.logFile), GetCurrentProcess(), userLog.put(),
                         0, TRUE, DUPLICATE_SAME_ACCESS)) {
      return OsError{"DuplicateHandle", GetLastError()};
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (output || userLog) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = nullptr;
      startup.hStdOutput = userLog ? userLog.get() : output.get();
      startup.hStdError = output ? output.get() : userLog.get();
    }
    PROCESS_INFORMATION info{};
    const bool inherit = output || userLog;
    const BOOL created = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, inherit ? TRUE : FALSE,
                                        CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr,
                                        folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    const DWORD error = GetLastError();
    output.reset();  // the child holds its own inherited copies
    userLog.reset();
    if (!created) return OsError{"CreateProcessW", error};
    CloseHandle(info.hThread);
    return std::unique_ptr<SupervisedProcess>(std::make_unique<Win32Process>(UniqueHandle(info.hProcess), info.dwProcessId));
  }
};

}  // namespace

std::unique_ptr<ProcessLauncher> ProcessLauncher::create() { return std::make_unique<Win32Launcher>(); }

std::string childLogPath() { return {}; }

}  // namespace vlvpn::service
