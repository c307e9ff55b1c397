// The desktop program's Win32 ports as far as Wine implements them: adapter
// enumeration and counters, and the service client over the real named pipe.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "desktop/killswitch/service_client.h"
#include "common/path_bytes.h"
#include "common/win32/unique_handle.h"
#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/management_access.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "desktop/tunnel/tunnel_process.h"
#include "tests/support/test_environment.h"

#include <fstream>
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::test {
namespace {

TEST(WindowsDesktopPorts, TheManagementListenerIsFoundInTheTcpTable) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const u_short port = static_cast<u_short>(20000 + GetCurrentProcessId() % 20000);
  EXPECT_FALSE(tunnel::managementListenerBelongsTo(GetCurrentProcessId(), port)) << "no listener yet";
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  EXPECT_TRUE(tunnel::managementListenerBelongsTo(GetCurrentProcessId(), port));
  closesocket(listener);
  WSACleanup();
}

TEST(WindowsDesktopPorts, EnumeratesAdaptersAndReadsCounters) {
  auto query = tunnel::AdapterQuery::create();
  const auto adapters = query->adapters();
  ASSERT_TRUE(adapters);
  ASSERT_FALSE(adapters->empty());
  bool anyCounters = false;
  for (const auto& adapter : *adapters) {
    EXPECT_NE(adapter.luid, 0u);
    anyCounters = anyCounters || query->counters(adapter.luid).has_value();
  }
  EXPECT_TRUE(anyCounters);
  EXPECT_FALSE(query->counters(0xFFFFFFFFFFFFull).has_value());
}

TEST(WindowsDesktopPorts, ServiceClientTalksOverTheNamedPipe) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  _putenv_s("VLVPN_KILLSWITCH_PIPE", service.endpoint.c_str());
  killswitch::ServiceClient client(killswitch::ServicePipe::create(), killswitch::ServiceManager::create());
  EXPECT_EQ(client.transact("PING"), "PONG");
  EXPECT_EQ(client.transact("OPENVPN_STATUS"), "OK STOPPED");
  auto refused = client.startOpenVpnViaService("C:\\nowhere\\openvpn.exe", "--config x");
  EXPECT_EQ(refused.kind, killswitch::StartOutcome::Kind::Refused);
  EXPECT_EQ(refused.error, "Kill-switch service could not start OpenVPN (ERR exe_not_allowed)");
  service.stop();
  _putenv_s("VLVPN_KILLSWITCH_PIPE", "\\\\.\\pipe\\VLVPNKillSwitch-nobody-listens");
  EXPECT_EQ(client.transact("PING"), "") << "no service installed: an empty reply at once";
}

TEST(WindowsDesktopPorts, AnyoneElseServingTheServicesPipeHearsNothing) {
  // A user's program that creates the pipe while the service is not running.
  _putenv_s("VLVPN_KILLSWITCH_PIPE", "");
  UniqueFileHandle squatter(CreateNamedPipeW(L"\\\\.\\pipe\\VLVPNKillSwitch", PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter) << GetLastError();
  std::string heard;
  std::thread listen([&] {
    if (!ConnectNamedPipe(squatter.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    char buffer[512];
    DWORD n = 0;
    if (ReadFile(squatter.get(), buffer, sizeof buffer, &n, nullptr)) heard.assign(buffer, n);
    if (!heard.empty()) WriteFile(squatter.get(), "PONG\n", 5, &n, nullptr);
  });
  killswitch::ServiceClient client(killswitch::ServicePipe::create(), killswitch::ServiceManager::create());
  EXPECT_EQ(client.transact("ENABLE udp 1194 1 198.18.0.9 C:\\Velmora\\VLVPNDesk.exe"), "");
  listen.join();
  EXPECT_EQ(heard, "") << "the request never went to a pipe the service does not serve";
}

TEST(WindowsDesktopPorts, LaunchesOpenVpnThroughTheService) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  _putenv_s("VLVPN_KILLSWITCH_PIPE", service.endpoint.c_str());
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "p.ovpn", std::ios::binary) << "client\r\n";
  std::ofstream(profile / "openvpn.log", std::ios::binary);  // as a connect makes it

  // The service road needs the service to count as installed: the launcher
  // asks the Service Control Manager, where this test's service is not. So
  // drive the road's pieces as the launcher does once the service answers.
  killswitch::ServiceClient client(killswitch::ServicePipe::create(), killswitch::ServiceManager::create());
  EXPECT_TRUE(killswitch::serviceAnswersPing(client.transact("PING")));
  const std::string args = tunnel::buildCommandLine(profile / "p.ovpn", profile / "auth.txt", false, profile / "openvpn.log");
  auto started = client.startOpenVpnViaService(utf8FromPath(builtProgram("openvpn")), args);
  ASSERT_EQ(started.kind, killswitch::StartOutcome::Kind::Started) << started.error << service.logText();
  const auto process = tunnel::openTunnelProcess(started.pid);
  ASSERT_TRUE(process) << "the process handle from the service's process id";
  EXPECT_FALSE(process->hasEnded());
  EXPECT_EQ(client.transact("OPENVPN_STOP"), "OK");
  for (int i = 0; i < 100 && !process->hasEnded(); ++i) Sleep(20);
  EXPECT_TRUE(process->hasEnded());
}

}  // namespace
}  // namespace vlvpn::test
