// The hand-over from the listening thread to the workers: every request
// pushed is answered once, a failing one does not take its worker with it,
// and those not yet running when the service stops never run.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/file_bytes.h"
#include "service/connection.h"
#include "service/service_log.h"
#include "service/stop_signal.h"
#include "tests/fakes/recording_service_commands.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

// What the workers share with the test, kept alive as long as they run.
struct Rig {
  test::TempDir folder;
  test::RecordingServiceCommands commands;
  Dispatcher dispatcher{commands};
  ServiceLog log{folder.path() / "killswitch.log"};
  StopSignal stop;
  std::shared_ptr<ServerContext> context = std::make_shared<ServerContext>(ServerContext{dispatcher, log, stop});
  std::shared_ptr<RequestQueue<int>> queue = std::make_shared<RequestQueue<int>>();

  std::mutex mutex;
  std::condition_variable changed;
  std::multiset<int> served;
  std::atomic<bool> released{false};
  std::atomic<int> running{0};

  void serve(int item) {
    std::lock_guard lock(mutex);
    served.insert(item);
    changed.notify_all();
  }
  bool waitForServed(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return served.size() >= count; });
  }
};

TEST(RequestQueue, AnswersEveryRequestOnceFromManyProducers) {
  auto rig = std::make_shared<Rig>();
  startWorkers(rig->context, rig->queue, [rig](ServerContext&, int item) { rig->serve(item); });
  constexpr int kProducers = 4, kEach = 2500;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) rig->queue->push(p * kEach + i);
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(rig->waitForServed(kProducers * kEach));
  rig->queue->close();
  std::lock_guard lock(rig->mutex);
  ASSERT_EQ(rig->served.size(), size_t{kProducers * kEach});
  for (int item = 0; item < kProducers * kEach; ++item) EXPECT_EQ(rig->served.count(item), 1u) << item;
}

TEST(RequestQueue, AFailingRequestIsLoggedAndItsWorkerGoesOn) {
  auto rig = std::make_shared<Rig>();
  startWorkers(rig->context, rig->queue, [rig](ServerContext&, int item) {
    if (item < 0) throw std::runtime_error("broken");
    rig->serve(item);
  });
  // More failures than workers: each worker must survive its own.
  for (size_t i = 0; i < 3 * kWorkers; ++i) rig->queue->push(-1);
  for (int i = 0; i < 50; ++i) rig->queue->push(i);
  ASSERT_TRUE(rig->waitForServed(50));
  // A worker may still be between its failure and the log line.
  const auto failures = [&] {
    const auto log = readFileBytes(rig->folder.path() / "killswitch.log").value_or("");
    size_t count = 0;
    for (size_t at = 0; (at = log.find("a connection failed unexpectedly", at)) != std::string::npos; ++at) ++count;
    return count;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (failures() < 3 * kWorkers && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  rig->queue->close();
  EXPECT_EQ(failures(), 3 * kWorkers);
}

TEST(RequestQueue, RequestsWaitingAtTheStopNeverRun) {
  auto rig = std::make_shared<Rig>();
  startWorkers(rig->context, rig->queue, [rig](ServerContext&, int item) {
    ++rig->running;
    while (!rig->released) std::this_thread::yield();
    rig->serve(item);
  });
  for (int i = 0; i < 100; ++i) rig->queue->push(i);
  while (rig->running < static_cast<int>(kWorkers)) std::this_thread::yield();
  rig->queue->close();
  rig->released = true;
  ASSERT_TRUE(rig->waitForServed(kWorkers));
  // A closed queue hands out nothing more: the count stays where the stop left it.
  int item = 0;
  EXPECT_FALSE(rig->queue->pop(item));
  std::lock_guard lock(rig->mutex);
  EXPECT_EQ(rig->served.size(), kWorkers);
}

}  // namespace
}  // namespace vlvpn::service
