// The platform services on Windows under Wine: the Credential Manager, the
// program's own version and ending a running program by its file name.
#include <windows.h>
#include <wincred.h>

#include <gtest/gtest.h>

#include "common/win32/unique_handle.h"
#include "desktop/services/applications.h"
#include "desktop/services/device_info.h"
#include "desktop/services/secret_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::services {
namespace {

TEST(WindowsSecrets, TheCredentialManagerKeepsBytesAndSaysWhyItRefuses) {
  auto store = SecretStore::create({});
  const std::string target = keychainTarget("velmora-test-" + std::to_string(GetCurrentProcessId()), "acct");
  ASSERT_TRUE(store->write(target, "s\xC3\xA9" "cret"));
  EXPECT_EQ(store->read(target), "s\xC3\xA9" "cret");
  store->remove(target);
  EXPECT_EQ(store->read(target), "");
  store->remove(target);

  // Larger than a credential may hold: the system's own number comes back.
  const auto refused = store->write(target, std::string(CRED_MAX_CREDENTIAL_BLOB_SIZE + 1, 'x'));
  if (refused && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
    store->remove(target);
    GTEST_SKIP() << "Wine's Credential Manager takes a credential of any size";
  }
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().message.starts_with("CredWrite failed (")) << refused.error().message;
  EXPECT_TRUE(refused.error().message.ends_with(")"));
}

// Sets a REG_SZ value of HKEY_LOCAL_MACHINE for the test and puts back
// what was there.
class MachineValue {
 public:
  MachineValue(const wchar_t* subKey, const wchar_t* name, const std::wstring& value) : name_(name) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    wchar_t old[512] = {};
    DWORD size = sizeof old - sizeof(wchar_t), type = 0;
    hadValue_ = RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS &&
                type == REG_SZ;
    if (hadValue_) old_ = old;
    set_ = RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~MachineValue() {
    if (!key_) return;
    if (hadValue_) {
      RegSetValueExW(key_, name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                     static_cast<DWORD>((old_.size() + 1) * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key_, name_);
    }
    RegCloseKey(key_);
  }
  bool set() const { return set_; }

 private:
  const wchar_t* name_;
  HKEY key_ = nullptr;
  bool hadValue_ = false, set_ = false;
  std::wstring old_;
};

TEST(WindowsDeviceInfo, ModelAndSystemVersionFromTheRegistry) {
  constexpr wchar_t kBios[] = L"HARDWARE\\DESCRIPTION\\System\\BIOS";
  constexpr wchar_t kCurrent[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  {
    MachineValue product(kBios, L"SystemProductName", L"  To be filled by O.E.M. ");
    MachineValue maker(kBios, L"SystemManufacturer", L"Contoso\r\nLabs");
    ASSERT_TRUE(product.set() && maker.set()) << "the test may write HKEY_LOCAL_MACHINE";
    EXPECT_EQ(deviceModelFrom(readDeviceFacts(), genericPcName()), "Contoso Labs PC");
  }
  {
    MachineValue display(kCurrent, L"DisplayVersion", L" 23H2 ");
    ASSERT_TRUE(display.set());
    EXPECT_EQ(osVersionFrom(readDeviceFacts()), "23H2");
  }
}

TEST(WindowsDeviceInfo, TheVersionComesFromTheVersionResource) {
  // The test program has none: the fallback.
  EXPECT_EQ(programVersion(), "1.0.0");
  EXPECT_FALSE(deviceModelFrom(readDeviceFacts(), genericPcName()).empty());
  EXPECT_FALSE(osVersionFrom(readDeviceFacts()).empty());
}

TEST(WindowsApplications, EndsARunningProgramByItsFileName) {
  test::TempDir scratch;
  const auto copy = scratch.path() / "Velmora-Terminate-Me.exe";
  std::filesystem::copy_file(test::builtProgram("openvpn"), copy);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring commandLine = L"\"" + copy.wstring() + L"\"";
  ASSERT_TRUE(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &startup, &info));
  UniqueHandle process(info.hProcess);
  CloseHandle(info.hThread);

  const auto ended = terminateApplications({"velmora-terminate-me.exe", "VELMORA-TERMINATE-ME.EXE"});
  EXPECT_EQ(ended, std::vector<std::string>{"Velmora-Terminate-Me.exe"}) << "listed once, as the system names it";
  EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(terminateApplications({}).empty());
}

}  // namespace
}  // namespace vlvpn::services
