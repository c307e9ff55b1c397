// What every connection of the service's pipe has in common, whatever the
// transport: the framing limits, answering one request, and the workers that
// answer complete requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
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

// A request is complete once an LF has arrived anywhere, or more than
// kMaxRequestBytes bytes have.
bool isRequestComplete(std::string_view received);

// Dispatches the request and logs "<client>: <request> -> <reply>"; returns
// the reply line with its LF. Nothing escapes: a failure inside a command
// answers "ERR internal" and is logged once.
std::string answerRequest(Dispatcher& dispatcher, ServiceLog& log, std::string_view request,
                          const Requester& requester = {});

// "<client>: " for a log line; "unknown client: " when it has no name.
std::string clientForLog(const Requester& requester);

// The answer to a request that found kMaxWaiting others waiting for a
// worker: "ERR busy", logged like any other, with nothing run.
std::string busyReply(ServiceLog& log, std::string_view request, const Requester& requester);

// Everything a connection thread uses. Threads still serving a client at
// shutdown are not waited for, so they share ownership of it.
struct ServerContext {
  Dispatcher& dispatcher;
  ServiceLog& log;
  StopSignal& stop;
};

// Connections whose requests are still arriving, read together by the
// listening thread; past this many, the oldest is dropped for each new one.
inline constexpr size_t kMaxReading = 512;
// Threads that run complete requests; commands take the command lock one at
// a time anyway.
inline constexpr size_t kWorkers = 8;
// Complete requests waiting for a worker. Each holds its connection, so a
// flood of them would take every descriptor the service may open and leave
// none for PING; past this many a newcomer is answered "ERR busy" at once.
inline constexpr size_t kMaxWaiting = 256;

// Complete requests, handed from the listening thread to the workers.
template <class Item>
class RequestQueue {
 public:
  void push(Item item) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(item));
    ready_.notify_one();
  }
  // Queues `item` unless `limit` items are waiting already; false then, and
  // `item` is left to the caller.
  bool tryPush(Item& item, size_t limit) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= limit) return false;
    queue_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }
  // False once closed and drained.
  bool pop(Item& item) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return false;
    item = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queue_.clear();  // requests not yet run when the service stops never run
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Item> queue_;
  bool closed_ = false;
};

// Starts kWorkers detached threads that answer what `queue` holds with
// `serve(context, item)`. A worker still answering at the stop is not
// waited for. Throws std::system_error when not one thread could start.
template <class Item, class Serve>
void startWorkers(const std::shared_ptr<ServerContext>& context, const std::shared_ptr<RequestQueue<Item>>& queue,
                  Serve serve) {
  for (size_t i = 0; i < kWorkers; ++i) {
    try {
      std::thread([context, queue, serve] {
        Item item;
        while (queue->pop(item)) {
          // An exception leaving a thread would end the service and lift every filter.
          try {
            serve(*context, item);
          } catch (...) {
            context->log.write("a connection failed unexpectedly");
          }
          item = Item{};
        }
      }).detach();
    } catch (const std::system_error&) {
      if (i == 0) throw;
    }
  }
}

}  // namespace vlvpn::service
