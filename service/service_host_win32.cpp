#include <winsock2.h>
#include <windows.h>

#include "service/service_host.h"
#include "service/stop_signal_win32.h"

namespace vlvpn::service {
namespace {

// The Service Control Manager calls back into plain functions, so the
// service's few process-wide items live here.
const ServiceBody* serviceBody = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
StopSignal* serviceStop = nullptr;

void reportStatus(DWORD state, DWORD controlsAccepted) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  SetServiceStatus(statusHandle, &status);
}

void WINAPI serviceControlHandler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
  reportStatus(SERVICE_STOP_PENDING, 0);
  serviceStop->signal();
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
  statusHandle = RegisterServiceCtrlHandlerW(kServiceName, serviceControlHandler);
  if (!statusHandle) return;
  reportStatus(SERVICE_START_PENDING, 0);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  static StopSignal stop;  // the control handler may still run after serviceMain returns
  serviceStop = &stop;
  reportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  (*serviceBody)(stop);
  WSACleanup();
  reportStatus(SERVICE_STOPPED, 0);
}

}  // namespace

int runConsole(const ServiceBody& body) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  StopSignal stop;
  const int code = body(stop);
  WSACleanup();
  return code;
}

int runAsService(const ServiceBody& body) {
  serviceBody = &body;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), serviceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}

}  // namespace vlvpn::service
