// The user's Run value, and the startup task of a packaged run (declared in
// packaging/windows/AppxManifest.xml).
#include <windows.h>

#include "common/program_path.h"
#include "desktop/shell/launch_at_login.h"
#include "desktop/shell/launch_entries.h"

namespace vlvpn::shell {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"VelmoraVPN";

class RunKey {
 public:
  explicit RunKey(REGSAM access) {
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RunKey() {
    if (key_) RegCloseKey(key_);
  }
  RunKey(const RunKey&) = delete;
  RunKey& operator=(const RunKey&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

void writeRunEntry(bool enabled) {
  RunKey key(KEY_SET_VALUE);
  if (!key.get()) return;
  if (!enabled) {
    RegDeleteValueW(key.get(), kRunValue);
    return;
  }
  const std::wstring program = programPath().wstring();
  const std::u16string data = runValueData(std::u16string(program.begin(), program.end()));
  RegSetValueExW(key.get(), kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
}

// Only whether the value is there counts, so values written by earlier
// versions (unquoted) count too.
bool runEntryExists() {
  RunKey key(KEY_QUERY_VALUE);
  if (!key.get()) return false;
  BYTE buffer[1040] = {};
  DWORD size = sizeof buffer;
  return RegQueryValueExW(key.get(), kRunValue, nullptr, nullptr, buffer, &size) == ERROR_SUCCESS;
}

class RunValue final : public LaunchEntry {
 public:
  void write(bool enabled) override { writeRunEntry(enabled); }
  bool exists() override { return runEntryExists(); }
};

}  // namespace

std::filesystem::path autostartEntryPath() { return {}; }

bool applyLaunchAtLogin(bool enabled) {
  RunValue entry;
  return applyLaunchAtLogin(enabled, *StartupTaskPort::create(), entry);
}

bool readLaunchAtLogin() {
  RunValue entry;
  return readLaunchAtLogin(*StartupTaskPort::create(), entry);
}

}  // namespace vlvpn::shell
