// Starting and ending the OpenVPN process the service supervises.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

namespace vlvpn::service {

struct LaunchSpec {
  std::string exe;                           // UTF-8, absolute
  // The executable held open since it was checked (holdExecutable); Linux
  // starts it from this descriptor rather than by name. -1: by name.
  intptr_t exeFile = -1;
  std::string argumentString;                // Windows: the command line after the quoted exe
  std::vector<std::string> argumentVector;   // Linux: the arguments after the program name
  std::filesystem::path outputFile;          // standard output and error appended here; empty: none
  // A log file opened for the user, which the child inherits: Linux, a
  // descriptor named by childLogPath(); Windows, a HANDLE that becomes its
  // standard output (standard error still goes to outputFile). -1: none.
  intptr_t logFile = -1;
};

// How OpenVPN names the inherited log file in its --log argument; "" where
// there is no such name and the log is OpenVPN's standard output instead.
std::string childLogPath();  // per platform

class SupervisedProcess {
 public:
  virtual ~SupervisedProcess() = default;
  virtual uint32_t pid() const = 0;
  // nullopt when the state cannot be queried.
  virtual std::optional<bool> isRunning() = 0;
  // Ends the process hard (exit code 1 on Windows, SIGKILL on Linux) and
  // waits for it up to `wait`.
  virtual void terminate(std::chrono::milliseconds wait) = 0;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Starts the program hidden, in the exe's folder, in a process group of
  // its own. Fails with the failing call and its code.
  virtual Result<std::unique_ptr<SupervisedProcess>, OsError> launch(const LaunchSpec& spec) = 0;

  static std::unique_ptr<ProcessLauncher> create();  // per platform
};

}  // namespace vlvpn::service
