#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <list>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "common/win32/overlapped_io.h"
#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "service/accounts_win32.h"
#include "service/pipe_holder_win32.h"
#include "service/pipe_name_claim.h"
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

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// A connection whose request is still arriving. Its reads are issued by the
// listening thread with a completion routine, which runs on that thread
// while it waits, so any number of slow clients cost no thread.
struct ReadingConnection {
  ~ReadingConnection() {
    if (pipe) DisconnectNamedPipe(pipe.get());
  }
  UniqueFileHandle pipe;
  Deadline deadline;
  std::string request;
  OVERLAPPED io{};  // hEvent carries `this` to the completion routine
  char chunk[kReadChunkBytes];
  bool readPending = false;
  bool failed = false;    // closed, broken or cancelled: dropped
  bool answered = false;  // a health check answered here, waiting for the client to close
};

// A complete request, answered by a worker.
struct CompleteRequest {
  UniqueFileHandle pipe;
  std::string request;
  Deadline deadline;
};

VOID CALLBACK onReadDone(DWORD error, DWORD bytes, OVERLAPPED* io) {
  auto* connection = static_cast<ReadingConnection*>(io->hEvent);
  connection->readPending = false;
  if (error != ERROR_SUCCESS || bytes == 0) {
    connection->failed = true;
    return;
  }
  connection->request.append(connection->chunk, bytes);
}

void startRead(ReadingConnection& connection) {
  connection.io = OVERLAPPED{};
  connection.io.hEvent = &connection;
  connection.readPending = ReadFileEx(connection.pipe.get(), connection.chunk, sizeof connection.chunk, &connection.io,
                                      onReadDone) != FALSE;
  if (!connection.readPending) connection.failed = true;
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

// The client's identity as of the request just read, at the level it
// allowed (identification: enough to check access for it, not to act as
// it). A client that allowed only anonymity, or whose token cannot be had
// for any other reason, has no identity the service can use.
Result<std::shared_ptr<void>, OsError> clientToken(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe)) return OsError{"ImpersonateNamedPipeClient", GetLastError()};
  HANDLE token = nullptr;
  const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  const DWORD openError = GetLastError();
  if (!RevertToSelf()) {
    // A thread that keeps the client's identity must not serve anyone.
    std::terminate();
  }
  if (!opened) return OsError{"OpenThreadToken", openError};
  return std::shared_ptr<void>(token, CloseHandle);
}

// A client not asked for its token (a health check) is named by its process.
std::string clientProcessOf(HANDLE pipe) {
  ULONG pid = 0;
  return GetNamedPipeClientProcessId(pipe, &pid) ? "pid " + std::to_string(pid) : std::string();
}

void answer(ServerContext& context, CompleteRequest& complete) {
  Requester requester;
  auto token = clientToken(complete.pipe.get());
  if (token) {
    requester.token = std::move(token).value();
    requester.name = accountNameOf(TokenUserSid(requester.token.get()).get());
  } else {
    requester.unknownIdentity = token.error();
  }
  if (requester.name.empty()) requester.name = clientProcessOf(complete.pipe.get());
  writeReply(complete.pipe.get(), answerRequest(context.dispatcher, context.log, complete.request, requester),
             complete.deadline);
  waitForClientToClose(complete.pipe.get(), complete.deadline);
  DisconnectNamedPipe(complete.pipe.get());
}

// The instance waiting for the next client.
class ListeningInstance {
 public:
  ListeningInstance(ServerContext& context, std::wstring name) : context_(context), name_(std::move(name)) {}

  // Creates the instance (retrying while the system is short of resources)
  // and starts waiting for a client; false once the stop is signalled.
  bool listen() {
    bool retriedConnect = false;
    for (;;) {
      const char* failed = nullptr;
      if (!event_) event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!event_) failed = "CreateEvent";
      bool nameTaken = false;
      if (!pipe_ && event_) {
        pipe_ = create();
        if (!pipe_) failed = "CreateNamedPipe";
        nameTaken = !pipe_ && first_ && GetLastError() == ERROR_ACCESS_DENIED;
        if (pipe_) logIfAny(claim_.claimed());
      }
      if (pipe_ && event_) {
        io_ = OVERLAPPED{};
        io_.hEvent = event_.get();
        ResetEvent(event_.get());
        connectedAtOnce_ = false;
        if (ConnectNamedPipe(pipe_.get(), &io_)) return true;  // completes through the event
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return true;
        if (error == ERROR_PIPE_CONNECTED) {
          // A client came between creation and this call: no operation is
          // pending, so `io_` holds no result to ask for.
          connectedAtOnce_ = true;
          SetEvent(event_.get());
          return true;
        }
        pipe_.reset();
        // A client that came and went before the call leaves nothing wrong:
        // the next instance listens at once. Any other failure is logged and
        // tried again at once, and only a second one in a row waits.
        if (error == ERROR_NO_DATA) continue;
        context_.log.write("ConnectNamedPipe failed: " + std::to_string(error));
        if (!std::exchange(retriedConnect, true)) continue;
      } else if (nameTaken) {
        // Another process made the name first and may wait for the desktop
        // program there: said once for each holder, and tried every second
        // until it lets go.
        logIfAny(claim_.heldBy(pipeServerOf(name_)));
      } else {
        // Out of resources for a moment: ending here would lift every filter.
        context_.log.write(std::string(failed) + " failed: " + std::to_string(GetLastError()));
      }
      retriedConnect = false;
      if (context_.stop.wait(std::chrono::milliseconds(1000))) return false;
    }
  }

  HANDLE event() const { return event_.get(); }

  // Once the event is signalled: the connected instance, or empty when the
  // client went away first.
  UniqueFileHandle takeClient() {
    DWORD ignored = 0;
    UniqueFileHandle client = std::move(pipe_);
    if (!connectedAtOnce_ && !GetOverlappedResult(client.get(), &io_, &ignored, FALSE)) return {};
    return client;
  }

  ~ListeningInstance() {
    if (!pipe_ || connectedAtOnce_) return;
    CancelIo(pipe_.get());
    DWORD ignored = 0;
    GetOverlappedResult(pipe_.get(), &io_, &ignored, TRUE);  // `io_` must outlive the call
  }

 private:
  void logIfAny(const std::string& line) {
    if (!line.empty()) context_.log.write(line);
  }

  UniqueFileHandle create() {
    // The first instance claims the name, so no other process can own the
    // pipe while the service runs; remote clients are never let in.
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first_ ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor_.get(), FALSE};
    UniqueFileHandle instance(CreateNamedPipeW(name_.c_str(), openMode,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                               PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, &security));
    if (instance) first_ = false;
    return instance;
  }

  ServerContext& context_;
  std::wstring name_;
  PipeNameClaim claim_;
  LocalDescriptor descriptor_;
  UniqueHandle event_;
  UniqueFileHandle pipe_;
  OVERLAPPED io_{};
  bool connectedAtOnce_ = false;
  bool first_ = true;
};

// Cancels every read still in flight and lets its completion routine run,
// so no OVERLAPPED is freed while the system may still write to it.
void cancelReads(std::list<std::unique_ptr<ReadingConnection>>& reading) {
  for (auto& connection : reading) {
    if (connection->readPending) CancelIo(connection->pipe.get());
  }
  for (auto& connection : reading) {
    while (connection->readPending) SleepEx(INFINITE, TRUE);
  }
  reading.clear();
}

// Full: the one that has said least for longest makes room, so clients that
// connect and stay silent can never keep a health check out. Its read is
// cancelled and its routine run before its OVERLAPPED goes.
void dropOldest(std::list<std::unique_ptr<ReadingConnection>>& reading) {
  const auto oldest = std::min_element(reading.begin(), reading.end(), [](const auto& a, const auto& b) {
    return a->deadline < b->deadline;
  });
  if (oldest == reading.end()) return;
  if ((*oldest)->readPending) CancelIo((*oldest)->pipe.get());
  while ((*oldest)->readPending) SleepEx(INFINITE, TRUE);
  reading.erase(oldest);
}

}  // namespace

std::string serviceEndpoint() {
  const char* configured = std::getenv("VLVPN_KILLSWITCH_PIPE");
  return configured && *configured ? configured : "\\\\.\\pipe\\VLVPNKillSwitch";
}

bool runPipeServer(std::shared_ptr<ServerContext> context) {
  context->log.write("service started");
  auto queue = std::make_shared<RequestQueue<CompleteRequest>>();
  try {
    startWorkers(context, queue, answer);
  } catch (const std::system_error&) {
    context->log.write("no worker thread could be started");
    return false;
  }

  // One thread reads every request as it arrives, so clients that trickle
  // or say nothing hold up no one: each is dropped at its deadline, and a
  // health check is answered here at once, whatever else is going on.
  ListeningInstance listening(*context, wideFromUtf8(serviceEndpoint()));
  std::list<std::unique_ptr<ReadingConnection>> reading;
  bool listeningNow = false;
  const HANDLE stop = context->stop.native().event.get();
  for (;;) {
    const Deadline now = Clock::now();
    Deadline soonest = Deadline::max();
    for (auto it = reading.begin(); it != reading.end();) {
      ReadingConnection& connection = **it;
      if (connection.readPending) {
        if (now >= connection.deadline) CancelIo(connection.pipe.get());  // its routine marks it failed
        soonest = std::min(soonest, connection.deadline);
        ++it;
        continue;
      }
      if (!connection.failed && !connection.answered && isRequestComplete(connection.request)) {
        if (Dispatcher::isHealthCheck(connection.request)) {
          // Lock-free, and its reply fits the pipe's buffer; the connection
          // stays here until the client closes it or its time is up.
          Requester requester;
          requester.name = clientProcessOf(connection.pipe.get());
          writeReply(connection.pipe.get(),
                     answerRequest(context->dispatcher, context->log, connection.request, requester),
                     connection.deadline);
          connection.answered = true;
        } else {
          CompleteRequest complete{std::move(connection.pipe), std::move(connection.request), connection.deadline};
          if (queue->tryPush(complete, kMaxWaiting)) {
            it = reading.erase(it);
            continue;
          }
          // Too many waiting: answered here, and the connection kept until
          // the client closes it or its time is up, like a health check's.
          Requester requester;
          requester.name = clientProcessOf(complete.pipe.get());
          connection.pipe = std::move(complete.pipe);
          writeReply(connection.pipe.get(), busyReply(context->log, complete.request, requester), connection.deadline);
          connection.answered = true;
        }
      }
      if (connection.answered) connection.request.clear();  // anything after the request is ignored
      if (connection.failed || now >= connection.deadline) {
        it = reading.erase(it);
        continue;
      }
      startRead(connection);
      soonest = std::min(soonest, connection.deadline);
      ++it;
    }

    if (!listeningNow) {
      if (!listening.listen()) break;
      listeningNow = true;
    }
    HANDLE waits[2] = {stop, listening.event()};
    const DWORD count = listeningNow ? 2 : 1;
    const DWORD timeout =
        soonest == Deadline::max() ? INFINITE : static_cast<DWORD>(timeLeft(soonest).count()) + 1;
    const DWORD woken = WaitForMultipleObjectsEx(count, waits, FALSE, timeout, TRUE);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
    if (woken == WAIT_OBJECT_0 + 1) {
      listeningNow = false;
      if (UniqueFileHandle client = listening.takeClient()) {
        if (reading.size() >= kMaxReading) dropOldest(reading);
        auto connection = std::make_unique<ReadingConnection>();
        connection->pipe = std::move(client);
        connection->deadline = Clock::now() + kRequestDeadline;
        reading.push_back(std::move(connection));
      }
    }
    // WAIT_IO_COMPLETION (reads done) and WAIT_TIMEOUT (deadlines) are
    // handled at the top of the loop.
  }
  cancelReads(reading);
  queue->close();

  context->log.write("service stopping");
  context->dispatcher.shutdown();
  return true;
}

}  // namespace vlvpn::service
