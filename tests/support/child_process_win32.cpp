#include <windows.h>

#include <map>

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "tests/support/child_process_os.h"

namespace vlvpn::test {

struct ChildProcess::Os::State {
  UniqueHandle process;
  UniqueFileHandle input;
  UniqueFileHandle output;
};

ChildProcess::Os::~Os() = default;

uint32_t ChildProcess::Os::pid() const { return GetProcessId(state->process.get()); }

namespace {

// Windows' own quoting rules, so CommandLineToArgvW gives each argument back.
std::wstring quoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

std::wstring environmentBlock(const EnvironmentOverrides& overrides) {
  // Case-insensitive names, sorted, as Windows keeps its environment.
  auto less = [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; };
  std::map<std::wstring, std::wstring, decltype(less)> merged(less);
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
      const std::wstring text = entry;
      const size_t eq = text.find(L'=', 1);  // "=C:=C:\..." entries start with '='
      if (eq != std::wstring::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : overrides) merged[wideFromUtf8(name)] = wideFromUtf8(value);
  std::wstring block;
  for (const auto& [name, value] : merged) block += name + L"=" + value + L'\0';
  return block + L'\0';
}

}  // namespace

std::unique_ptr<ChildProcess::Os> ChildProcess::Os::spawn(const std::filesystem::path& program,
                                                          const std::vector<std::string>& args,
                                                          const EnvironmentOverrides& environment,
                                                          std::string& error) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  UniqueFileHandle childIn, parentIn, parentOut, childOut;
  if (!CreatePipe(childIn.put(), parentIn.put(), &inheritable, 0) ||
      !CreatePipe(parentOut.put(), childOut.put(), &inheritable, 0)) {
    error = "CreatePipe failed: " + std::to_string(GetLastError());
    return nullptr;
  }
  SetHandleInformation(parentIn.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(parentOut.get(), HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = quoteArgument(program.wstring());
  for (const auto& arg : args) commandLine += L" " + quoteArgument(wideFromUtf8(arg));
  std::wstring block = environmentBlock(environment);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn.get();
  startup.hStdOutput = childOut.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(), nullptr, &startup, &info)) {
    error = "CreateProcessW failed: " + std::to_string(GetLastError());
    return nullptr;
  }
  CloseHandle(info.hThread);

  auto os = std::make_unique<Os>();
  os->state = std::make_unique<State>();
  os->state->process.reset(info.hProcess);
  os->state->input = std::move(parentIn);
  os->state->output = std::move(parentOut);
  return os;
}

bool ChildProcess::Os::write(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(state->input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

void ChildProcess::Os::closeInput() { state->input.reset(); }

size_t ChildProcess::Os::read(char* buffer, size_t size) {
  DWORD n = 0;
  if (!ReadFile(state->output.get(), buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
  return n;
}

std::optional<int> ChildProcess::Os::wait(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(state->process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(state->process.get(), &code);
  return static_cast<int>(code);
}

void ChildProcess::Os::requestStop() { kill(); }

void ChildProcess::Os::kill() { TerminateProcess(state->process.get(), 1); }

}  // namespace vlvpn::test
