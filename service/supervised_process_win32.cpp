#include <windows.h>

#include <vector>

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

// A process-thread attribute list naming the handles a child inherits.
class ProcThreadAttributes {
 public:
  explicit ProcThreadAttributes(std::vector<HANDLE>& handles) {
    if (handles.empty()) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                  handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      list_ = list;
    }
  }
  ~ProcThreadAttributes() {
    if (initialised_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data()));
  }
  ProcThreadAttributes(const ProcThreadAttributes&) = delete;
  ProcThreadAttributes& operator=(const ProcThreadAttributes&) = delete;

  explicit operator bool() const { return list_ != nullptr; }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<unsigned char> buffer_;
  bool initialised_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
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

    // Only the handles named here reach the child: without the list, every
    // inheritable handle the service holds at that moment would, another
    // thread's included.
    std::vector<HANDLE> inherited;
    if (userLog) inherited.push_back(userLog.get());
    if (output) inherited.push_back(output.get());
    ProcThreadAttributes attributes(inherited);
    if (!inherited.empty() && !attributes) return OsError{"UpdateProcThreadAttribute", GetLastError()};

    STARTUPINFOEXW startupEx{};
    STARTUPINFOW& startup = startupEx.StartupInfo;
    startup.cb = sizeof startupEx;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (output || userLog) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = nullptr;
      startup.hStdOutput = userLog ? userLog.get() : output.get();
      startup.hStdError = output ? output.get() : userLog.get();
    }
    startupEx.lpAttributeList = attributes.get();
    PROCESS_INFORMATION info{};
    const bool inherit = !inherited.empty();
    const DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | (inherit ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL created = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, inherit ? TRUE : FALSE, flags,
                                        nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info);
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
