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
