#include "desktop/host/promise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <system_error>
#include <vector>

#include "desktop/host/hook.h"
#include "desktop/host/worker.h"

namespace vlvpn::host {
namespace {

struct Recorder {
  std::vector<Settlement> settlements;
  Promise::Sink sink() {
    return [this](Settlement s) { settlements.push_back(std::move(s)); };
  }
};

TEST(Promise, SettlesOnceWhateverComesLater) {
  Recorder rec;
  {
    Promise promise(rec.sink());
    Promise copy = promise;
    promise.resolve({{"state", "connecting"}});
    copy.reject("too late");
    promise.resolve(1);
    EXPECT_TRUE(copy.settled());
  }
  ASSERT_EQ(rec.settlements.size(), 1u);
  EXPECT_EQ(rec.settlements[0].value(), nlohmann::json({{"state", "connecting"}}));
}

TEST(Promise, RejectsWhenTheLastHandleIsDroppedUnsettled) {
  Recorder rec;
  {
    Promise promise(rec.sink());
    Promise copy = promise;
    { Promise dropped = std::move(promise); }
    EXPECT_TRUE(rec.settlements.empty()) << "a handle is still held";
  }
  ASSERT_EQ(rec.settlements.size(), 1u);
  EXPECT_EQ(rec.settlements[0].error().message, "Promise destroyed.");
}

TEST(Promise, ErrorObjectHasTheThreeFields) {
  EXPECT_EQ(errorObject("Auth file not found"),
            nlohmann::json({{"code", "EUNSPECIFIED"}, {"message", "Auth file not found"}, {"userInfo", nlohmann::json::object()}}));
}

TEST(Worker, SettlesFromItsOwnThread) {
  std::promise<std::pair<Settlement, std::thread::id>> done;
  Promise promise([&](Settlement s) { done.set_value({std::move(s), std::this_thread::get_id()}); });
  runOnWorker(promise, [](const Promise& p) { p.resolve("from worker"); });
  promise = Promise(nullptr);  // the caller lets go of its handle at once
  auto [settlement, thread] = done.get_future().get();
  EXPECT_EQ(settlement.value(), "from worker");
  EXPECT_TRUE(thread != std::this_thread::get_id()) << "settled on the calling thread";
}

TEST(Worker, RejectsWhenNoThreadCanStart) {
  Recorder rec;
  {
    Promise promise(rec.sink());
    bool ran = false;
    runOnWorker(
        promise, [&](const Promise&) { ran = true; },
        [](std::function<void()>) { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); });
    EXPECT_FALSE(ran);
  }
  ASSERT_EQ(rec.settlements.size(), 1u);
  EXPECT_EQ(rec.settlements[0].error().message, kWorkerStartFailed);
}

TEST(Worker, AnExceptionInTheWorkBecomesARejection) {
  Recorder rec;
  {
    Promise promise(rec.sink());
    runOnWorker(
        promise, [](const Promise&) { throw std::runtime_error("disk on fire"); },
        [](std::function<void()> task) { task(); });
  }
  ASSERT_EQ(rec.settlements.size(), 1u);
  EXPECT_EQ(rec.settlements[0].error().message, "disk on fire");
}

TEST(Hook, EmptyDoesNothingAndReplacementWins) {
  Hook<int> hook;
  hook(1);  // empty: nothing happens
  EXPECT_FALSE(hook.isSet());

  std::vector<std::string> calls;
  hook.set([&](int v) { calls.push_back("first " + std::to_string(v)); });
  hook(2);
  hook.set([&](int v) { calls.push_back("second " + std::to_string(v)); });
  hook(3);
  hook.clear();
  hook(4);
  EXPECT_EQ(calls, (std::vector<std::string>{"first 2", "second 3"}));
}

TEST(Hook, MayBeReplacedFromInsideItsOwnCall) {
  Hook<> hook;
  int calls = 0;
  hook.set([&] {
    ++calls;
    hook.clear();
  });
  hook();
  hook();
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vlvpn::host
