#include <windows.h>

#include <cstdlib>
#include <optional>

#include "common/win32/overlapped_io.h"
#include "common/win32/unique_handle.h"
#include "common/win32/unique_sc_handle.h"
#include "common/win32/wide.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/killswitch/service_pipe.h"

namespace vlvpn::killswitch {
namespace {

constexpr wchar_t kServiceName[] = L"VLVPNKillSwitch";

// A pipe name of the user's own choosing (tests run services side by side);
// nullptr for the service's real pipe.
const char* configuredPipe() {
  const char* configured = std::getenv("VLVPN_KILLSWITCH_PIPE");
  return configured && *configured ? configured : nullptr;
}

std::wstring pipeName() {
  const char* configured = configuredPipe();
  return configured ? wideFromUtf8(configured) : L"\\\\.\\pipe\\VLVPNKillSwitch";
}

// The process the Service Control Manager runs as VLVPNKillSwitch; 0 when it
// runs none.
DWORD runningServiceProcess() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 0;
  UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed) ||
      status.dwCurrentState != SERVICE_RUNNING) {
    return 0;
  }
  return status.dwProcessId;
}

// Any local user could create an instance of the pipe while the service is
// stopped and read what the program sends it. The real pipe counts only when
// the service's own process serves it.
bool servedByTheService(HANDLE pipe) {
  if (configuredPipe()) return true;
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) return false;
  const DWORD service = runningServiceProcess();
  return service != 0 && server == service;
}


class NamedPipeConnection final : public PipeConnection {
 public:
  explicit NamedPipeConnection(UniqueFileHandle pipe) : pipe_(std::move(pipe)) {}

  bool writeAll(std::string_view bytes, std::chrono::milliseconds timeout) override {
    while (!bytes.empty()) {
      auto written = runOverlapped(pipe_.get(), timeout, [&](OVERLAPPED* io) {
        return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, io);
      });
      if (!written || *written == 0) return false;
      bytes.remove_prefix(*written);
    }
    return true;
  }

  std::string readOnce(size_t maxBytes, std::chrono::milliseconds timeout) override {
    std::string reply(maxBytes, '\0');
    auto read = runOverlapped(pipe_.get(), timeout, [&](OVERLAPPED* io) {
      return ReadFile(pipe_.get(), reply.data(), static_cast<DWORD>(reply.size()), nullptr, io);
    });
    reply.resize(read.value_or(0));
    return reply;
  }

 private:
  UniqueFileHandle pipe_;
};

class NamedPipe final : public ServicePipe {
 public:
  Result<std::unique_ptr<PipeConnection>, OpenFailure> open() override {
    // Identification only: whoever serves the pipe may learn who we are, but
    // may not act as us.
    UniqueFileHandle pipe(CreateFileW(pipeName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) {
      if (!servedByTheService(pipe.get())) return OpenFailure::Other;
      return std::unique_ptr<PipeConnection>(std::make_unique<NamedPipeConnection>(std::move(pipe)));
    }
    switch (GetLastError()) {
      case ERROR_PIPE_BUSY:
        return OpenFailure::Busy;
      case ERROR_FILE_NOT_FOUND:
        return OpenFailure::NotFound;
      default:
        return OpenFailure::Other;
    }
  }
  void waitWhileBusy(std::chrono::milliseconds limit) override {
    WaitNamedPipeW(pipeName().c_str(), static_cast<DWORD>(limit.count()));
  }
};

class ScmManager final : public ServiceManager {
 public:
  bool isInstalled() override {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
  }
  bool start() override {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_START));
    if (!service) return false;
    return StartServiceW(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
  }
};

}  // namespace

std::unique_ptr<ServicePipe> ServicePipe::create() { return std::make_unique<NamedPipe>(); }
std::unique_ptr<ServiceManager> ServiceManager::create() { return std::make_unique<ScmManager>(); }

}  // namespace vlvpn::killswitch
