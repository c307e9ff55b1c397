#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include "tests/support/child_process_os.h"

namespace vlvpn::test {

std::unique_ptr<ChildProcess> ChildProcess::start(const std::filesystem::path& program,
                                                  const std::vector<std::string>& args,
                                                  const EnvironmentOverrides& environment) {
  std::string error;
  auto os = Os::spawn(program, args, environment, error);
  if (!os) {
    ADD_FAILURE() << "cannot start " << program << ": " << error;
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(os)));
}

ChildProcess::ChildProcess(std::unique_ptr<Os> os) : os_(std::move(os)) {
  reader_ = std::thread([this] { readOutput(); });
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (!waitForExit(std::chrono::seconds(10))) os_->kill();
  os_->wait(std::chrono::seconds(10));
  reader_.join();
}

void ChildProcess::readOutput() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const size_t n = os_->read(buffer, sizeof buffer);
    if (n == 0) break;
    pending.append(buffer, n);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(mutex_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  if (!pending.empty()) lines_.push_back(pending);
  outputEnded_ = true;
  changed_.notify_all();
}

bool ChildProcess::writeLine(std::string_view line) { return os_->write(std::string(line) + "\n"); }

void ChildProcess::closeInput() { os_->closeInput(); }

void ChildProcess::requestStop() { os_->requestStop(); }

void ChildProcess::kill() { os_->kill(); }

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return !lines_.empty() || outputEnded_; });
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

uint32_t ChildProcess::pid() const { return os_->pid(); }

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) { return os_->wait(timeout); }

}  // namespace vlvpn::test
