#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>

#include "common/win32/overlapped_io.h"
#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "service/pipe_server.h"
#include "service/stop_signal_win32.h"

namespace vlvpn::service {
namespace {

constexpr DWORD kBufferBytes = 65536;

// Authenticated users may read and write data (0x12019b: FILE_GENERIC_READ |
// FILE_GENERIC_WRITE without FILE_CREATE_PIPE_INSTANCE, so no user can add an
// instance of the service's pipe); LocalSystem has full access. FA is what
// GA maps to for a pipe, written out so the DACL reads back as written.
constexpr wchar_t kPipeSddl[] = L"D:(A;;0x12019b;;;AU)(A;;FA;;;SY)";

class LocalDescriptor {
 public:
  LocalDescriptor() {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
      descriptor_ = nullptr;  // the pipe gets the service account's default security
    }
  }
  ~LocalDescriptor() {
    if (descriptor_) LocalFree(descriptor_);
  }
  LocalDescriptor(const LocalDescriptor&) = delete;
  LocalDescriptor& operator=(const LocalDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

using Deadline = std::chrono::steady_clock::time_point;

bool readRequest(HANDLE pipe, std::string& request, Deadline deadline) {
  char chunk[kReadChunkBytes];
  while (!isRequestComplete(request)) {
    auto read = runOverlapped(pipe, timeLeft(deadline),
                              [&](OVERLAPPED* io) { return ReadFile(pipe, chunk, sizeof chunk, nullptr, io); });
    if (!read || *read == 0) return false;
    request.append(chunk, *read);
  }
  return true;
}

void writeReply(HANDLE pipe, std::string_view reply, Deadline deadline) {
  while (!reply.empty()) {
    auto written = runOverlapped(pipe, timeLeft(deadline), [&](OVERLAPPED* io) {
      return WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), nullptr, io);
    });
    if (!written || *written == 0) return;
    reply.remove_prefix(*written);
  }
}

// Disconnecting throws away what the client has not read yet. The client
// closes its end once it has the reply, which ends this read; one that
// never reads is dropped at the deadline. (FlushFileBuffers would wait for
// such a client for ever.)
void waitForClientToClose(HANDLE pipe, Deadline deadline) {
  char ignored[64];
  for (;;) {
    auto read = runOverlapped(pipe, timeLeft(deadline),
                              [&](OVERLAPPED* io) { return ReadFile(pipe, ignored, sizeof ignored, nullptr, io); });
    if (!read || *read == 0) return;
  }
}

void serveConnection(const std::shared_ptr<ServerContext>& context, UniqueFileHandle pipe) {
  const Deadline deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  std::string request;
  if (readRequest(pipe.get(), request, deadline)) {
    writeReply(pipe.get(), answerRequest(context->dispatcher, context->log, request), deadline);
    waitForClientToClose(pipe.get(), deadline);
  }
  DisconnectNamedPipe(pipe.get());
}

}  // namespace

std::string serviceEndpoint() {
  const char* configured = std::getenv("VLVPN_KILLSWITCH_PIPE");
  return configured && *configured ? configured : "\\\\.\\pipe\\VLVPNKillSwitch";
}

bool runPipeServer(std::shared_ptr<ServerContext> context) {
  const std::wstring name = wideFromUtf8(serviceEndpoint());
  LocalDescriptor descriptor;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
  context->log.write("service started");

  HANDLE stop = context->stop.native().event.get();
  // The first instance claims the name, so no other process can own the pipe
  // while the service runs; remote clients are never let in.
  bool first = true;
  const auto createInstance = [&]() -> UniqueFileHandle {
    for (;;) {
      const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
      UniqueFileHandle instance(CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                 PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES, kBufferBytes,
                                                 kBufferBytes, 0, &security));
      if (instance) {
        first = false;
        return instance;
      }
      context->log.write("CreateNamedPipe failed: " + std::to_string(GetLastError()));
      if (context->stop.wait(std::chrono::milliseconds(1000))) return {};
    }
  };

  UniqueFileHandle listening = createInstance();
  while (listening) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
      // Out of resources for a moment: ending here would lift every filter.
      context->log.write("CreateEvent failed: " + std::to_string(GetLastError()));
      if (context->stop.wait(std::chrono::milliseconds(1000))) break;
      continue;
    }
    OVERLAPPED io{};
    io.hEvent = event.get();
    bool connected = false;
    if (!ConnectNamedPipe(listening.get(), &io)) {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error != ERROR_IO_PENDING) {
        listening = createInstance();
        continue;
      }
    }
    if (!connected) {
      HANDLE waits[2] = {stop, event.get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        CancelIo(listening.get());
        DWORD ignored = 0;
        GetOverlappedResult(listening.get(), &io, &ignored, TRUE);  // `io` must outlive the call
        break;
      }
      DWORD ignored = 0;
      if (!GetOverlappedResult(listening.get(), &io, &ignored, FALSE)) {
        listening = createInstance();
        continue;
      }
    }

    // The next instance listens before this connection waits for a thread slot.
    UniqueFileHandle connection = std::move(listening);
    listening = createInstance();
    if (!context->slots.acquire(context->stop)) break;
    serveOnThread(context, std::move(connection), serveConnection);
  }

  listening.reset();
  context->log.write("service stopping");
  context->dispatcher.shutdown();
  return true;
}

}  // namespace vlvpn::service
