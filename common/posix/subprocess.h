// Runs a helper program and collects what it prints.
#pragma once

#include <string>
#include <vector>

#include "common/result.h"

namespace vlvpn {

struct ProcessOutput {
  int exitCode = -1;  // -1 when the program was ended by a signal
  std::string standardOutput;
};

enum class StandardError { Inherit, Discard };

// Runs argv[0], looked up on PATH, with standard input on /dev/null and
// standard error inherited (or discarded), and waits for it. Fails with the failing call
// ("pipe", "posix_spawnp", "waitpid") and its errno when the program cannot
// be started; a program that starts and fails reports its exit code instead.
Result<ProcessOutput, OsError> runCapturingOutput(const std::vector<std::string>& argv,
                                                  StandardError standardError = StandardError::Inherit);

}  // namespace vlvpn
