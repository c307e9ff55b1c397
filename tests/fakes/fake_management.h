// OpenVPN's management interface as a test scripts it: a connection whose
// incoming bytes the test pushes, and a fake OpenVPN behind the fixed port
// that answers "state on all", "state" and "signal SIGTERM" the way the real
// one does (see the transcripts the tests quote).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/tunnel/management_connection.h"
#include "tests/fakes/fake_tunnel_process.h"

namespace vlvpn::test {

class FakeManagementConnection : public tunnel::ManagementConnection {
 public:
  // Called for each command the program sends (without its CR LF), outside
  // the connection's lock, so it may push or close.
  std::function<void(FakeManagementConnection&, const std::string& command)> onCommand;

  void push(std::string bytes) {
    std::lock_guard lock(mutex_);
    incoming_.push_back(std::move(bytes));
    changed_.notify_all();
  }
  void closeFromPeer() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  std::vector<std::string> rawSends() {
    std::lock_guard lock(mutex_);
    return raw_;
  }

  void send(std::string_view bytes) override {
    std::string command(bytes);
    {
      std::lock_guard lock(mutex_);
      raw_.push_back(command);
      if (command.ends_with("\r\n")) command.resize(command.size() - 2);
      commands_.push_back(command);
    }
    if (onCommand) onCommand(*this, command);
  }

  // Waits for real, but never longer than a few milliseconds: the tests
  // shorten the monitor's waits and keep time on a fake clock.
  tunnel::Readiness waitReadable(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(mutex_);
    const auto limit = std::min(timeout, std::chrono::milliseconds(20));
    changed_.wait_for(lock, limit, [this] { return !incoming_.empty() || closed_; });
    return !incoming_.empty() || closed_ ? tunnel::Readiness::Readable : tunnel::Readiness::TimedOut;
  }

  std::string receive(size_t maxBytes) override {
    std::lock_guard lock(mutex_);
    if (incoming_.empty()) return {};  // closed
    std::string& front = incoming_.front();
    std::string bytes = front.substr(0, maxBytes);
    front.erase(0, bytes.size());
    if (front.empty()) incoming_.pop_front();
    return bytes;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> incoming_;
  bool closed_ = false;
  std::vector<std::string> commands_;
  std::vector<std::string> raw_;
};

// An OpenVPN process behind 127.0.0.1:11940: listening or not, in some
// state, ended by "signal SIGTERM" (or by the test).
class FakeOpenVpn {
 public:
  explicit FakeOpenVpn(uint32_t pid = 4242) : process(std::make_shared<FakeTunnelProcess>(pid)) {}

  // Starts "running": the port answers after `attemptsBeforeListening`
  // refused connects. A fresh process each time.
  void start(int attemptsBeforeListening = 0) {
    std::lock_guard lock(mutex_);
    process = std::make_shared<FakeTunnelProcess>(process->pid() + 1);
    refusalsLeft_ = attemptsBeforeListening;
    running_ = true;
  }
  // The process ends at once; connections see the close.
  void exit() {
    std::vector<std::shared_ptr<FakeManagementConnection>> open;
    {
      std::lock_guard lock(mutex_);
      running_ = false;
      process->ended = true;
      open = connections_;
    }
    for (auto& c : open) c->closeFromPeer();
  }
  bool running() {
    std::lock_guard lock(mutex_);
    return running_;
  }
  std::shared_ptr<FakeTunnelProcess> currentProcess() {
    std::lock_guard lock(mutex_);
    return process;
  }
  std::vector<std::shared_ptr<FakeManagementConnection>> connections() {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  int connectAttempts() {
    std::lock_guard lock(mutex_);
    return attempts_;
  }

  // The state the answers report ("CONNECTED", "WAIT", ...).
  void setState(std::string name) {
    std::lock_guard lock(mutex_);
    state_ = std::move(name);
  }
  // Whether SIGTERM ends it (a hung OpenVPN ignores it).
  bool obeysSigterm = true;

  // Runs before each connect attempt is answered.
  std::function<void()> onConnectAttempt;

  std::shared_ptr<FakeManagementConnection> connect() {
    if (onConnectAttempt) onConnectAttempt();
    std::lock_guard lock(mutex_);
    ++attempts_;
    if (!running_) return nullptr;
    if (refusalsLeft_ > 0) {
      --refusalsLeft_;
      return nullptr;
    }
    auto connection = std::make_shared<FakeManagementConnection>();
    connection->onCommand = [this](FakeManagementConnection& c, const std::string& command) { answer(c, command); };
    connections_.push_back(connection);
    return connection;
  }

  std::shared_ptr<FakeTunnelProcess> process;

 private:
  std::string historyLine() {
    std::lock_guard lock(mutex_);
    return "1796754052," + state_ + ",SUCCESS,10.8.0.2,127.0.0.1,1194,,\n";
  }

  void answer(FakeManagementConnection& c, const std::string& command) {
    if (command == "state on all") {
      c.push("SUCCESS: real-time state notification set to ON\n1796754052,CONNECTING,,,,,,\n" + historyLine() + "END\n");
    } else if (command == "state") {
      c.push(historyLine() + "END\n");
    } else if (command == "signal SIGTERM") {
      c.push("SUCCESS: signal SIGTERM thrown\n");
      if (!obeysSigterm) return;
      c.push(">STATE:1796754060,EXITING,SIGTERM,,,,,\n");
      exit();
    }
  }

  std::mutex mutex_;
  bool running_ = false;
  int refusalsLeft_ = 0;
  int attempts_ = 0;
  std::string state_ = "WAIT";
  std::vector<std::shared_ptr<FakeManagementConnection>> connections_;
};

class FakeManagementPort : public tunnel::ManagementPort {
 public:
  explicit FakeManagementPort(FakeOpenVpn& openVpn) : openVpn_(openVpn) {}
  std::shared_ptr<tunnel::ManagementConnection> connect() override { return openVpn_.connect(); }

 private:
  FakeOpenVpn& openVpn_;
};

}  // namespace vlvpn::test
