// What every connection of the service's pipe has in common, whatever the
// transport: the framing limits, answering one request, and the bound on the
// number of connections served at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "service/dispatcher.h"
#include "service/service_log.h"
#include "service/stop_signal.h"

namespace vlvpn::service {

inline constexpr size_t kMaxRequestBytes = 65536;
inline constexpr size_t kReadChunkBytes = 4096;
// From accept to the last byte of the reply, however the client trickles.
inline constexpr std::chrono::milliseconds kRequestDeadline{10000};

// The time left until `deadline`, never below zero.
std::chrono::milliseconds timeLeft(std::chrono::steady_clock::time_point deadline);
inline constexpr size_t kMaxConnections = 64;

// A request is complete once an LF has arrived anywhere, or more than
// kMaxRequestBytes bytes have.
bool isRequestComplete(std::string_view received);

// Dispatches the request and logs "<request> -> <reply>"; returns the reply
// line with its LF. Nothing escapes: a failure inside a command answers
// "ERR internal" and is logged once.
std::string answerRequest(Dispatcher& dispatcher, ServiceLog& log, std::string_view request,
                          const Requester& requester = {});

// Counts connection threads. Past the bound the listening loop waits for a
// slot instead of starting another thread.
class ConnectionSlots {
 public:
  explicit ConnectionSlots(size_t capacity) : free_(capacity) {}

  // Waits for a free slot; false when `stop` is signalled first.
  bool acquire(StopSignal& stop);
  void release();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  size_t free_;
};

// Everything a connection thread uses. Threads still serving a client at
// shutdown are not waited for, so they share ownership of it.
struct ServerContext {
  Dispatcher& dispatcher;
  ServiceLog& log;
  StopSignal& stop;
  ConnectionSlots slots{kMaxConnections};
};

// Serves `connection` on a detached thread that holds a slot (already
// acquired) and gives it back when done. When no thread can be started the
// client goes unanswered and the listening loop carries on.
template <class Connection, class Serve>
void serveOnThread(const std::shared_ptr<ServerContext>& context, Connection connection, Serve serve) {
  try {
    std::thread([context, connection = std::move(connection), serve]() mutable {
      // An exception leaving a thread would end the service and lift every filter.
      try {
        serve(context, std::move(connection));
      } catch (...) {
        context->log.write("a connection failed unexpectedly");
      }
      context->slots.release();
    }).detach();
  } catch (const std::system_error&) {
    context->slots.release();
  }
}

}  // namespace vlvpn::service
