// A program under test, started with pipes on its standard input and output.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vlvpn::test {

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
 public:
  // Starts `program` with `args` and the test's environment plus `environment`;
  // standard error is inherited. Fails the calling test (and returns null)
  // when the program cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::filesystem::path& program, const std::vector<std::string>& args,
                                             const EnvironmentOverrides& environment = {});
  ~ChildProcess();  // closes input, waits a moment, then kills

  bool writeLine(std::string_view line);
  void closeInput();
  // The next line of standard output without its LF; nullopt at end of output
  // or when `timeout` passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Asks the program to end (SIGTERM on Linux; on Windows, where there is no
  // such request, it is ended hard).
  void requestStop();
  // Ends the program at once (SIGKILL; TerminateProcess).
  void kill();
  uint32_t pid() const;
  // The exit code, or nullopt when the program is still running after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  class Os;  // the platform's pipes and process

 private:
  explicit ChildProcess(std::unique_ptr<Os> os);
  void readOutput();

  std::unique_ptr<Os> os_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  bool outputEnded_ = false;
};

}  // namespace vlvpn::test
