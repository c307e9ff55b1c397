// A scripted kill-switch service: records every request and answers from a
// queue of open results and replies.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "desktop/killswitch/service_pipe.h"

namespace vlvpn::test {

struct FakeServiceScript {
  std::deque<killswitch::OpenFailure> openFailures;  // consumed before each successful open
  std::deque<std::string> replies;                   // one per exchange; "" when exhausted
  std::vector<std::string> requests;                 // every request written, with its LF
  int opens = 0;
  int busyWaits = 0;
  bool installed = false;
  bool startSucceeds = true;
  int starts = 0;
};

class FakeConnection : public killswitch::PipeConnection {
 public:
  explicit FakeConnection(FakeServiceScript& script) : script_(script) {}
  bool writeAll(std::string_view bytes, std::chrono::milliseconds) override {
    script_.requests.emplace_back(bytes);
    return true;
  }
  std::string readOnce(size_t maxBytes, std::chrono::milliseconds) override {
    if (script_.replies.empty()) return {};
    std::string reply = script_.replies.front().substr(0, maxBytes);
    script_.replies.pop_front();
    return reply;
  }

 private:
  FakeServiceScript& script_;
};

class FakeServicePipe : public killswitch::ServicePipe {
 public:
  explicit FakeServicePipe(FakeServiceScript& script) : script_(script) {}
  Result<std::unique_ptr<killswitch::PipeConnection>, killswitch::OpenFailure> open() override {
    ++script_.opens;
    if (!script_.openFailures.empty()) {
      const auto failure = script_.openFailures.front();
      script_.openFailures.pop_front();
      return failure;
    }
    return std::unique_ptr<killswitch::PipeConnection>(std::make_unique<FakeConnection>(script_));
  }
  void waitWhileBusy(std::chrono::milliseconds) override { ++script_.busyWaits; }

 private:
  FakeServiceScript& script_;
};

class FakeServiceManager : public killswitch::ServiceManager {
 public:
  explicit FakeServiceManager(FakeServiceScript& script) : script_(script) {}
  bool isInstalled() override { return script_.installed; }
  bool start() override {
    ++script_.starts;
    return script_.startSucceeds;
  }

 private:
  FakeServiceScript& script_;
};

}  // namespace vlvpn::test
