// The installer as a user meets it: installed, used, upgraded and removed with
// msiexec, in a Wine prefix of its own (the other Windows tests never share
// it). scripts/test builds the two MSIs first (the project's version and the
// same sources one patch version higher) and names them in VLVPN_MSI and
// VLVPN_MSI_NEXT.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "common/win32/unique_handle.h"
#include "common/win32/unique_sc_handle.h"
#include "common/win32/wide.h"
#include "tests/support/bridge_client.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const wchar_t* kServiceKey = L"System\\CurrentControlSet\\Services\\VLVPNKillSwitch";
constexpr const wchar_t* kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const char* kProfile = "client\r\n# fake-openvpn: management\r\nproto udp\r\nremote 127.0.0.1 1194\r\n";

std::wstring environmentText(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length == 0 || length >= 32768 ? std::wstring() : std::wstring(value, length);
}

// An MSI named by a Linux path in the environment, as Wine's Z: drive shows it.
std::wstring msiFrom(const wchar_t* variable) {
  std::wstring path = environmentText(variable);
  if (path.empty()) return path;
  for (auto& c : path) c = c == L'/' ? L'\\' : c;
  return L"Z:" + path;
}

// Runs a command line to its end; its exit code, or nullopt when it could not
// start. Its standard handles are NUL: the installer leaves a server process
// behind, which must not hold the test's output open after the test.
std::optional<DWORD> run(std::wstring commandLine) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueFileHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    return std::nullopt;
  }
  UniqueHandle process(info.hProcess), thread(info.hThread);
  WaitForSingleObject(process.get(), 300000);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

std::optional<DWORD> msiexec(const std::wstring& arguments) { return run(L"msiexec.exe " + arguments + L" /qn"); }

std::optional<std::wstring> registryText(const wchar_t* key, const wchar_t* name) {
  wchar_t value[2048];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(value);
}

std::optional<DWORD> registryNumber(const wchar_t* key, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

// The Add/Remove Programs entries named "Velmora VPN", each as its key.
std::vector<std::wstring> installedProducts() {
  std::vector<std::wstring> products;
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, &root) != ERROR_SUCCESS) {
    return products;
  }
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring key = std::wstring(kUninstallKey) + L"\\" + name;
    if (registryText(key.c_str(), L"DisplayName") == L"Velmora VPN") products.push_back(key);
  }
  RegCloseKey(root);
  return products;
}

// The service's state, waited for up to 10 s; 0 when it is not installed.
DWORD serviceStateAfterWaiting(DWORD wanted) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"VLVPNKillSwitch", SERVICE_QUERY_STATUS) : nullptr);
  if (!service) return 0;
  SERVICE_STATUS status{};
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == wanted) break;
    Sleep(50);
  }
  return status.dwCurrentState;
}

std::string fileVersion(const fs::path& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) {
    return {};
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS));
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path knownFolder(const wchar_t* variable) { return fs::path(environmentText(variable)); }

TEST(WindowsInstaller, InstallsRunsUpgradesAndRemovesCleanly) {
  const std::wstring msi = msiFrom(L"VLVPN_MSI");
  const std::wstring next = msiFrom(L"VLVPN_MSI_NEXT");
  VLVPN_REQUIRE_ENVIRONMENT(!msi.empty() && !next.empty(), "needs the two MSIs scripts/package writes");
  const fs::path programFolder = knownFolder(L"ProgramW6432") / "Velmora VPN";
  // Wine gives services another ProgramData (C:\users\Public) than its
  // other processes; Windows gives both the same.
  fs::path serviceLog = knownFolder(L"ProgramData") / "VelmoraVPN" / "killswitch.log";
  if (!fs::exists(serviceLog.parent_path())) serviceLog = knownFolder(L"PUBLIC") / "VelmoraVPN" / "killswitch.log";
  const fs::path userData = knownFolder(L"LOCALAPPDATA") / "VLVPNDesk";

  {
    SCOPED_TRACE("install");
    ASSERT_EQ(msiexec(L"/i \"" + msi + L"\""), 0u);
    EXPECT_EQ(registryNumber(kServiceKey, L"Start"), SERVICE_AUTO_START);
    EXPECT_EQ(registryNumber(kServiceKey, L"Type"), SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(registryText(kServiceKey, L"ObjectName"), L"LocalSystem");
    EXPECT_EQ(registryText(kServiceKey, L"DisplayName"), L"Velmora VPN Kill Switch");
    const auto image = registryText(kServiceKey, L"ImagePath").value_or(L"");
    EXPECT_NE(image.find(L"Velmora VPN\\VLVPNKillSwitch.exe"), std::wstring::npos) << utf8FromWide(image);
    EXPECT_EQ(serviceStateAfterWaiting(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(fs::exists(programFolder / "VLVPNDesk.exe"));
    if (!fs::exists(serviceLog)) serviceLog = knownFolder(L"PUBLIC") / "VelmoraVPN" / "killswitch.log";
    EXPECT_TRUE(fs::exists(serviceLog)) << "the running service logs";
    EXPECT_EQ(installedProducts().size(), 1u);
  }

  const std::string id = "installer-" + std::to_string(GetCurrentProcessId());
  {
    SCOPED_TRACE("a connection through the installed service");
    const fs::path openVpnFolder = knownFolder(L"ProgramW6432") / "OpenVPN" / "bin";
    fs::create_directories(openVpnFolder);
    ASSERT_TRUE(CopyFileW(builtProgram("openvpn").c_str(), (openVpnFolder / "openvpn.exe").c_str(), FALSE));
    BridgeClient bridge(programFolder / "VLVPNDesk.exe", {});
    ASSERT_TRUE(bridge.started());
    EXPECT_EQ(bridge.call("pingHelper")["result"], "pong");
    ASSERT_TRUE(bridge.call("saveOvpnProfile", {id, kProfile, id + ".ovpn", ""}).contains("result"));
    EXPECT_EQ(bridge.call("connectOvpn", {id, id + ".ovpn", "u", "p"})["result"], json({{"state", "connecting"}}));
    const std::string log = readText(serviceLog);
    EXPECT_NE(log.find("PING -> PONG"), std::string::npos) << log;
    const size_t start = log.find("OPENVPN_START");
    ASSERT_NE(start, std::string::npos) << log;
    EXPECT_NE(log.find("-> OK ", start), std::string::npos) << log;
    bridge.call("disconnect");
    EXPECT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected");
    fs::remove(openVpnFolder / "openvpn.exe");
  }

  {
    SCOPED_TRACE("upgrade");
    const std::string before = fileVersion(programFolder / "VLVPNDesk.exe");
    ASSERT_EQ(msiexec(L"/i \"" + next + L"\""), 0u);
    EXPECT_EQ(installedProducts().size(), 1u) << "the new version replaced the old one";
    const std::string after = fileVersion(programFolder / "VLVPNDesk.exe");
    EXPECT_NE(after, before) << "the new files";
    EXPECT_EQ(fileVersion(programFolder / "VLVPNKillSwitch.exe"), after);
    EXPECT_EQ(serviceStateAfterWaiting(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
  }

  {
    SCOPED_TRACE("uninstall");
    const auto products = installedProducts();
    ASSERT_EQ(products.size(), 1u);
    const std::wstring productCode = products.front().substr(products.front().rfind(L'\\') + 1);
    ASSERT_EQ(msiexec(L"/x " + productCode), 0u);
    EXPECT_EQ(serviceStateAfterWaiting(SERVICE_STOPPED), 0u) << "no service";
    EXPECT_FALSE(registryNumber(kServiceKey, L"Start").has_value());
    EXPECT_FALSE(fs::exists(programFolder)) << "no program folder";
    EXPECT_TRUE(installedProducts().empty());
    EXPECT_TRUE(fs::exists(userData / "profiles" / id / (id + ".ovpn"))) << "the user's profiles stay";
    EXPECT_TRUE(fs::exists(serviceLog)) << "the service's log folder stays";
  }
}

}  // namespace
}  // namespace vlvpn::test
