// The packaged road of log-on start: the app package's startup task. Only a
// program with package identity has one; every other run uses the user's own
// entry (launch_at_login.h).
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vlvpn::shell {

inline constexpr const char* kStartupTaskId = "VLVPNLaunchAtLogin";

// The platform's StartupTaskState values.
enum class StartupTaskState { Disabled = 0, DisabledByUser = 1, Enabled = 2, DisabledByPolicy = 3, EnabledByPolicy = 4 };

// Enabled and EnabledByPolicy count as on.
bool isStartupTaskOn(StartupTaskState state);

class StartupTaskPort {
 public:
  virtual ~StartupTaskPort() = default;
  // Whether the process has package identity.
  virtual bool isPackaged() = 0;
  // The task's state; nullopt when the task cannot be had (not declared, an
  // error, a cancelled operation).
  virtual std::optional<StartupTaskState> state(const std::string& taskId) = 0;
  // Asks to enable the task and waits for the answer (the user may be asked);
  // the resulting state, or nullopt when any step failed.
  virtual std::optional<StartupTaskState> requestEnable(const std::string& taskId) = 0;
  // False when the task could not be had or disabled.
  virtual bool disable(const std::string& taskId) = 0;
  // Whether this run was activated by the startup task (activation kind
  // StartupTask); false for an unpackaged run.
  virtual bool activatedByStartupTask() = 0;

  // Windows: the Windows Runtime's StartupTask and AppInstance; Linux: never packaged.
  static std::unique_ptr<StartupTaskPort> create();
};

}  // namespace vlvpn::shell
