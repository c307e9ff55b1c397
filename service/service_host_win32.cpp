#include <winsock2.h>
#include <windows.h>

#include "common/win32/unique_sc_handle.h"
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

int configureInstalledService(const wchar_t* serviceName) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return static_cast<int>(GetLastError());
  UniqueScHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (!service) return static_cast<int>(GetLastError());

  // Past its actions the manager repeats the last one: a final "none" is
  // what stops the restarts after the third failure of a day.
  SC_ACTION actions[kRestartsPerDay + 1];
  for (uint32_t i = 0; i < kRestartsPerDay; ++i) actions[i] = {SC_ACTION_RESTART, kRestartDelayMs};
  actions[kRestartsPerDay] = {SC_ACTION_NONE, 0};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureCountResetSeconds;
  failure.cActions = kRestartsPerDay + 1;
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return static_cast<int>(GetLastError());
  }
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

int runAsService(const ServiceBody& body) {
  serviceBody = &body;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), serviceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}

}  // namespace vlvpn::service
