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

TEST(RequestQueue, TakesNoMoreThanItsLimitAndLeavesTheRestToTheCaller) {
  RequestQueue<std::unique_ptr<int>> queue;
  for (int i = 0; i < 3; ++i) {
    auto item = std::make_unique<int>(i);
    EXPECT_TRUE(queue.tryPush(item, 3));
    EXPECT_EQ(item, nullptr) << "taken";
  }
  auto extra = std::make_unique<int>(3);
  EXPECT_FALSE(queue.tryPush(extra, 3));
  ASSERT_NE(extra, nullptr) << "still the caller's, to answer";
  EXPECT_EQ(*extra, 3);
  std::unique_ptr<int> first;
  ASSERT_TRUE(queue.pop(first));
  EXPECT_EQ(*first, 0);
  EXPECT_TRUE(queue.tryPush(extra, 3)) << "room again once one was taken";
}

// Every line names who asked, and no request can fill the log: one client's
// long requests cannot rotate everyone else's out of it.
TEST(RequestQueue, TheLogNamesTheClientAndCutsLongRequests) {
  Rig rig;
  Requester alice;
  alice.name = "uid 1000";
  EXPECT_EQ(answerRequest(rig.dispatcher, rig.log, "OPENVPN_STATUS\n", alice), "OK STOPPED\n");
  EXPECT_EQ(answerRequest(rig.dispatcher, rig.log, "BOGUS " + std::string(60000, 'x') + "\n", alice),
            "ERR unknown_command\n");
  EXPECT_EQ(answerRequest(rig.dispatcher, rig.log, "PING\n"), "PONG\n");
  Requester forged;
  forged.name = "uid 0\nuid 0: ENABLE";
  answerRequest(rig.dispatcher, rig.log, "PING\n", forged);
  EXPECT_EQ(busyReply(rig.log, "DISABLE\n", alice), "ERR busy\n");
  const std::string log = readFileBytes(rig.folder.path() / "killswitch.log").value_or("");
  EXPECT_NE(log.find(" uid 1000: OPENVPN_STATUS -> OK STOPPED\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" uid 1000: BOGUS " + std::string(506, 'x') + " [cut: 60006 bytes] -> ERR unknown_command\r\n"),
            std::string::npos);
  EXPECT_NE(log.find(" unknown client: PING -> PONG\r\n"), std::string::npos);
  EXPECT_NE(log.find(" uid 0\\x0Auid 0: ENABLE: PING -> PONG\r\n"), std::string::npos) << "a name cannot start a line";
  EXPECT_NE(log.find(" uid 1000: DISABLE -> ERR busy\r\n"), std::string::npos);
  EXPECT_LT(log.size(), 2000u);
}

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
