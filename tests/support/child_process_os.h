// The platform half of ChildProcess.
#pragma once

#include <cstdint>

#include "tests/support/child_process.h"

namespace vlvpn::test {

class ChildProcess::Os {
 public:
  static std::unique_ptr<Os> spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
                                   const EnvironmentOverrides& environment, std::string& error);
  ~Os();
  bool write(std::string_view bytes);
  void closeInput();
  // Blocks; returns the count read, 0 at end of output.
  size_t read(char* buffer, size_t size);
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void kill();
  void requestStop();
  uint32_t pid() const;

  struct State;
  std::unique_ptr<State> state;
};

}  // namespace vlvpn::test
