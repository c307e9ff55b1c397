// VLVPNKillSwitch.exe under the Service Control Manager, the named pipe's
// security, and the supervisor with a child, as far as Wine implements them.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "common/openvpn_arguments.h"
#include "common/path_bytes.h"
#include "common/win32/unique_handle.h"
#include "common/win32/unique_sc_handle.h"
#include "service/connection.h"
#include "service/service_host.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {


bool waitForState(SC_HANDLE service, DWORD state) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
    Sleep(50);
  }
  return false;
}

// A demand-start service `name` running the VLVPNKillSwitch.exe just built.
UniqueScHandle createServiceOfBuiltProgram(SC_HANDLE manager, const std::wstring& name) {
  const std::wstring binary = L"\"" + builtProgram("VLVPNKillSwitch").wstring() + L"\"";
  return UniqueScHandle(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr));
}

TEST(WindowsService, RunsUnderTheServiceControlManagerAndAnswersOnThePipe) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  VLVPN_REQUIRE_ENVIRONMENT(static_cast<bool>(manager), "needs the Service Control Manager");
  const std::wstring name = L"VLVPNKillSwitchTest" + std::to_wstring(GetCurrentProcessId());
  UniqueScHandle service = createServiceOfBuiltProgram(manager.get(), name);
  ASSERT_TRUE(service) << GetLastError();
  struct Cleanup {
    SC_HANDLE service;
    ~Cleanup() {
      SERVICE_STATUS status;
      ControlService(service, SERVICE_CONTROL_STOP, &status);
      DeleteService(service);
    }
  } cleanup{service.get()};

  // Wine's service manager now and then answers ERROR_INTERNAL_ERROR (1359)
  // while it still winds down a service of an earlier test; it starts on a retry.
  bool started = false;
  DWORD error = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    started = StartServiceW(service.get(), 0, nullptr);
    error = started ? 0 : GetLastError();
    if (!started && error != ERROR_INTERNAL_ERROR) break;
    if (!started) Sleep(200);
  }
  ASSERT_TRUE(started) << error;
  ASSERT_TRUE(waitForState(service.get(), SERVICE_RUNNING));
  std::string reply;
  for (int attempt = 0; attempt < 100 && reply != "PONG"; ++attempt, Sleep(50)) {
    reply = serviceRequest("\\\\.\\pipe\\VLVPNKillSwitch", "PING\n");
  }
  EXPECT_EQ(reply, "PONG");
  EXPECT_EQ(serviceRequest("\\\\.\\pipe\\VLVPNKillSwitch", "OPENVPN_STATUS\n"), "OK STOPPED");

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(waitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(serviceRequest("\\\\.\\pipe\\VLVPNKillSwitch", "PING\n"), "") << "a stopped service answers nothing";
}

TEST(WindowsService, ConfigureWritesTheRecoveryAndDescriptionOfTheInstalledService) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  VLVPN_REQUIRE_ENVIRONMENT(static_cast<bool>(manager), "needs the Service Control Manager");
  const std::wstring name = L"VLVPNConfigureTest" + std::to_wstring(GetCurrentProcessId());
  EXPECT_EQ(service::configureInstalledService(name.c_str()), ERROR_SERVICE_DOES_NOT_EXIST) << "not installed yet";

  UniqueScHandle created = createServiceOfBuiltProgram(manager.get(), name);
  ASSERT_TRUE(created) << GetLastError();
  struct Cleanup {
    SC_HANDLE service;
    ~Cleanup() { DeleteService(service); }
  } cleanup{created.get()};

  EXPECT_EQ(service::configureInstalledService(name.c_str()), 0);
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &needed));
  const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
  ASSERT_NE(description->lpDescription, nullptr);
  EXPECT_STREQ(description->lpDescription, service::kServiceDescription);

  const bool read = QueryServiceConfig2W(created.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &needed);
  const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  if (!read || failure->cActions == 0) {
    GTEST_SKIP() << "this platform (Wine 8) stores no failure actions (query: " << (read ? 0 : GetLastError()) << ")";
  }
  ASSERT_EQ(failure->cActions, 4u);
  EXPECT_EQ(failure->dwResetPeriod, 86400u);
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_EQ(failure->lpsaActions[i].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[i].Delay, 5000u);
  }
  EXPECT_EQ(failure->lpsaActions[3].Type, SC_ACTION_NONE) << "no fourth restart in a day";
}

TEST(WindowsService, ThePipeAdmitsAuthenticatedUsersAndSystemOnly) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());

  // Wine does not enforce DACLs, so read the pipe's back.
  const std::wstring name = std::wstring(service.endpoint.begin(), service.endpoint.end());
  UniqueFileHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe) << GetLastError();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                   &sddl, nullptr));
  const std::wstring dacl = sddl;
  LocalFree(sddl);
  LocalFree(descriptor);
  pipe.reset();
  // Users read and write data but may not create instances of the pipe.
  EXPECT_EQ(std::string(dacl.begin(), dacl.end()), "D:(A;;0x12019b;;;AU)(A;;FA;;;SY)");

}

TEST(WindowsService, NoSecondServiceCanOwnThePipe) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  const std::wstring name(service.endpoint.begin(), service.endpoint.end());
  UniqueFileHandle rival(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, 0,
                                          PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr));
  if (rival) GTEST_SKIP() << "this platform (Wine 8) does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
  rival.reset();

  TempDir otherScratch;
  KillSwitchService second(otherScratch.path(), {}, service.endpoint);
  std::string secondLog;
  const std::string named = " the pipe's name is held by another process: pid " + std::to_string(service.pid());
  for (int attempt = 0; attempt < 100 && secondLog.find(named) == std::string::npos; ++attempt) {
    Sleep(50);
    secondLog = second.logText();
  }
  EXPECT_NE(secondLog.find(named), std::string::npos) << secondLog;
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
}

TEST(WindowsService, SupervisesAChildProcess) {
  TempDir scratch;
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "p.ovpn", std::ios::binary) << "client\r\nremote 127.0.0.1 1194\r\n";
  const std::string args = formatOpenVpnArguments(
      {utf8FromPath(profile / "p.ovpn"), std::nullopt, utf8FromPath(profile / "openvpn.log")});
  const std::string exe = utf8FromPath(builtProgram("openvpn"));

  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  // The service opens the user's log but never makes one for the user: with
  // its rights the file would land wherever the path leads.
  EXPECT_EQ(service.request("OPENVPN_START\t" + exe + "\t" + args), "ERR config_not_allowed");
  EXPECT_FALSE(std::filesystem::exists(profile / "openvpn.log"));
  std::ofstream(profile / "openvpn.log", std::ios::binary) << "an old session\r\n";
  const std::string started = service.request("OPENVPN_START\t" + exe + "\t" + args);
  ASSERT_TRUE(started.starts_with("OK ")) << started << "\n" << service.logText();
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + started.substr(3));

  std::string logged;
  for (int attempt = 0; attempt < 100 && logged.find("--script-security") == std::string::npos; ++attempt, Sleep(50)) {
    std::ifstream in(profile / "openvpn.log", std::ios::binary);
    logged.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(logged.find("openvpn-config.ovpn"), std::string::npos) << "the child reads the checked copy: " << logged;
  EXPECT_NE(logged.find("--script-security\n1\n"), std::string::npos);

  const std::string replaced = service.request("OPENVPN_START\t" + exe + "\t" + args);
  ASSERT_TRUE(replaced.starts_with("OK ")) << replaced;
  UniqueHandle first(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(started.substr(3))));
  if (first) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(first.get(), &code));
    EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE)) << "the first child was ended";
  }
  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  std::ifstream captured(service.dataFolder / "openvpn-stderr.log", std::ios::binary);
  const std::string output{std::istreambuf_iterator<char>(captured), std::istreambuf_iterator<char>()};
  EXPECT_NE(output.find("fake openvpn started"), std::string::npos) << "their standard error accumulates";
}

// A client connected to the service's pipe that sends `bytes` and then
// waits, saying nothing more.
UniqueFileHandle connectAndSay(const std::string& endpoint, std::string_view bytes) {
  const std::wstring name(endpoint.begin(), endpoint.end());
  UniqueFileHandle pipe;
  for (int attempt = 0; attempt < 50 && !pipe; ++attempt) {
    pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) WaitNamedPipeW(name.c_str(), 100);
  }
  DWORD written = 0;
  if (pipe && !bytes.empty()) WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return pipe;
}

bool hasReplyWaiting(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0;
}

TEST(WindowsService, AnswersEveryoneElseWhileClientsTrickleOrSayNothing) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());

  // More clients than the service has threads, half of them halfway
  // through a request: none of them may hold up anyone else.
  std::vector<UniqueFileHandle> idle;
  for (int i = 0; i < 100; ++i) {
    idle.push_back(connectAndSay(service.endpoint, i % 2 ? "OPENVPN_ST" : ""));
    ASSERT_TRUE(idle.back()) << "client " << i << " was not let in";
  }
  EXPECT_EQ(service.request("PING"), "PONG");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_EQ(service.request("DISABLE"), "OK");
  for (const auto& client : idle) EXPECT_FALSE(hasReplyWaiting(client.get())) << "an unfinished request was answered";
}

TEST(WindowsService, MoreSilentClientsThanAreReadMakeRoomForAPing) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  constexpr size_t kSilent = service::kMaxReading + 40;
  std::vector<UniqueFileHandle> silent;
  for (size_t i = 0; i < kSilent; ++i) {
    silent.push_back(connectAndSay(service.endpoint, ""));
    ASSERT_TRUE(silent.back()) << "client " << i << " was not let in";
  }
  EXPECT_EQ(service.request("PING"), "PONG");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  // The oldest made room, one for each newer client (and one each for the
  // two requests, unless the first had already gone when the second came).
  size_t closed = 0;
  for (const auto& client : silent) {
    DWORD available = 0;
    if (!PeekNamedPipe(client.get(), nullptr, 0, nullptr, &available, nullptr)) ++closed;
  }
  EXPECT_GE(closed, kSilent - service::kMaxReading + 1);
  EXPECT_LE(closed, kSilent - service::kMaxReading + 2);
  EXPECT_TRUE(PeekNamedPipe(silent.back().get(), nullptr, 0, nullptr, nullptr, nullptr)) << "the newest is still read";
}

// A profile whose configuration only LocalSystem may read: the service may
// read it, the user who asks may not.
TEST(WindowsService, RefusesProfileFilesTheRequestingUserCannotRead) {
  TempDir scratch;
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  const auto config = profile / "p.ovpn";
  std::ofstream(profile / "openvpn.log", std::ios::binary);  // the desktop program makes it before a start
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor,
                                                                   nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  UniqueFileHandle file(CreateFileW(config.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, 0, nullptr));
  LocalFree(descriptor);
  ASSERT_TRUE(file) << GetLastError();
  const std::string text = "client\r\nremote 127.0.0.1 1194\r\n";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  file.reset();
  const std::string args =
      formatOpenVpnArguments({utf8FromPath(config), std::nullopt, utf8FromPath(profile / "openvpn.log")});
  const std::string exe = utf8FromPath(builtProgram("openvpn"));

  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  EXPECT_EQ(service.request("OPENVPN_START\t" + exe + "\t" + args), "ERR config_not_allowed") << service.logText();
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_NE(service.logText().find("cannot be read (AccessCheck 5)"), std::string::npos) << service.logText();

  // A configuration its user may read, beside it, starts.
  const auto readable = profile / "readable.ovpn";
  std::ofstream(readable, std::ios::binary) << text;
  const std::string started = service.request(
      "OPENVPN_START\t" + exe + "\t" +
      formatOpenVpnArguments({utf8FromPath(readable), std::nullopt, utf8FromPath(profile / "openvpn.log")}));
  EXPECT_TRUE(started.starts_with("OK ")) << started << "\n" << service.logText();
  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
  // A null DACL lets the scratch folder go.
  SetNamedSecurityInfoW(const_cast<wchar_t*>(config.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr);
}

TEST(WindowsService, FilteringPlatformUnderWine) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  if (wine) {
    // FwpmEngineOpen0 answers 1764 (not supported) under Wine; the reply carries it.
    EXPECT_EQ(service.request("ENABLE udp 1194 1 127.0.0.1"), "ERR 1764");
    EXPECT_EQ(service.request("DISABLE"), "OK");
    GTEST_SKIP() << "Wine does not implement the Windows Filtering Platform; the filter sets are tested as plans";
  }
  EXPECT_EQ(service.request("ENABLE udp 1194 1 127.0.0.1"), "OK");
  EXPECT_EQ(service.request("BLOCK_IPV6"), "OK");
  EXPECT_EQ(service.request("DISABLE"), "OK");
  EXPECT_EQ(service.request("UNBLOCK_IPV6"), "OK");
}

}  // namespace
}  // namespace vlvpn::test
