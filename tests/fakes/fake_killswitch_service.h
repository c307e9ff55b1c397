// The kill-switch service as the desktop program meets it: present, absent,
// or installed but stopped until the program starts it. It answers the
// protocol's commands, starts and stops a FakeOpenVpn, and records every
// request in order.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/killswitch/service_pipe.h"
#include "tests/fakes/fake_management.h"

namespace vlvpn::test {

class FakeKillSwitchService {
 public:
  enum class Mode { Present, Absent, Stopped };

  explicit FakeKillSwitchService(FakeOpenVpn& openVpn) : openVpn_(openVpn) {}

  std::atomic<Mode> mode{Mode::Present};
  // Runs before each request is answered (say, to start a newer connect).
  std::function<void(const std::string& request)> onRequest;
  bool startable = true;              // whether a start of a stopped service works
  std::string startReply;             // "" answers "OK <pid>" and starts OpenVPN
  int openVpnAttemptsBeforeListening = 2;

  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The requests without the OPENVPN_START arguments, for comparing sequences.
  std::vector<std::string> commands() {
    std::vector<std::string> names;
    for (const auto& request : requests()) names.push_back(request.substr(0, request.find('\t')));
    return names;
  }
  void forget() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }
  int starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }

  std::string answer(const std::string& request) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    if (onRequest) onRequest(request);
    if (request == "PING") return "PONG";
    if (request.starts_with("OPENVPN_START\t")) {
      if (!startReply.empty()) return startReply;
      openVpn_.start(openVpnAttemptsBeforeListening);
      return "OK " + std::to_string(openVpn_.currentProcess()->pid());
    }
    if (request == "OPENVPN_STOP") {
      if (openVpn_.running()) openVpn_.exit();
      return "OK";
    }
    if (request == "OPENVPN_STATUS") {
      return openVpn_.running() ? "OK RUNNING " + std::to_string(openVpn_.currentProcess()->pid()) : "OK STOPPED";
    }
    return "OK";
  }

  bool isInstalled() { return mode != Mode::Absent; }
  bool startService() {
    std::lock_guard lock(mutex_);
    ++starts_;
    if (mode == Mode::Stopped && startable) mode = Mode::Present;
    return mode == Mode::Present;
  }

 private:
  FakeOpenVpn& openVpn_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  int starts_ = 0;
};

class FakeServiceConnection : public killswitch::PipeConnection {
 public:
  explicit FakeServiceConnection(FakeKillSwitchService& service) : service_(service) {}
  bool writeAll(std::string_view bytes, std::chrono::milliseconds) override {
    request_ = std::string(bytes.substr(0, bytes.find('\n')));
    return true;
  }
  std::string readOnce(size_t, std::chrono::milliseconds) override { return service_.answer(request_) + "\n"; }

 private:
  FakeKillSwitchService& service_;
  std::string request_;
};

class FakeKillSwitchPipe : public killswitch::ServicePipe {
 public:
  explicit FakeKillSwitchPipe(FakeKillSwitchService& service) : service_(service) {}
  Result<std::unique_ptr<killswitch::PipeConnection>, killswitch::OpenFailure> open() override {
    if (service_.mode != FakeKillSwitchService::Mode::Present) return killswitch::OpenFailure::NotFound;
    return std::unique_ptr<killswitch::PipeConnection>(std::make_unique<FakeServiceConnection>(service_));
  }
  void waitWhileBusy(std::chrono::milliseconds) override {}

 private:
  FakeKillSwitchService& service_;
};

class FakeKillSwitchManager : public killswitch::ServiceManager {
 public:
  explicit FakeKillSwitchManager(FakeKillSwitchService& service) : service_(service) {}
  bool isInstalled() override { return service_.isInstalled(); }
  bool start() override { return service_.startService(); }

 private:
  FakeKillSwitchService& service_;
};

}  // namespace vlvpn::test
