// Which road log-on start takes: the app package's startup task when the
// program is packaged, the user's own entry otherwise and whenever the task
// fails.
#include "desktop/shell/launch_at_login.h"

#include <gtest/gtest.h>

namespace vlvpn::shell {
namespace {

class FakeStartupTask : public StartupTaskPort {
 public:
  bool packaged = true;
  std::optional<StartupTaskState> current = StartupTaskState::Disabled;  // nullopt: no such task, or it fails
  // What the system answers a request to enable: nullopt when the request fails.
  std::optional<StartupTaskState> answer = StartupTaskState::Enabled;
  bool disableFails = false;
  std::vector<std::string> asked;  // task identifiers, in order

  bool isPackaged() override { return packaged; }
  std::optional<StartupTaskState> state(const std::string& id) override {
    asked.push_back(id);
    return current;
  }
  std::optional<StartupTaskState> requestEnable(const std::string& id) override {
    asked.push_back(id);
    if (!current || !answer) return std::nullopt;
    // The user or a policy that turned the task off keeps it off.
    if (*current == StartupTaskState::DisabledByUser || *current == StartupTaskState::DisabledByPolicy) return current;
    current = answer;
    return current;
  }
  bool disable(const std::string& id) override {
    asked.push_back(id);
    if (!current || disableFails) return false;
    current = StartupTaskState::Disabled;
    return true;
  }
  bool activatedByStartupTask() override { return false; }
};

class FakeEntry : public LaunchEntry {
 public:
  bool present = false;
  bool writable = true;
  int writes = 0;
  void write(bool enabled) override {
    ++writes;
    if (writable) present = enabled;
  }
  bool exists() override { return present; }
};

TEST(LaunchAtLogin, APackagedProgramUsesItsStartupTask) {
  struct Case {
    const char* name;
    std::optional<StartupTaskState> before;
    bool enable;
    bool result;
    bool readAfter;
  };
  using S = StartupTaskState;
  const Case cases[] = {
      {"enabling a disabled task", S::Disabled, true, true, true},
      {"enabling a task already on", S::Enabled, true, true, true},
      {"enabling a task the user turned off", S::DisabledByUser, true, false, false},
      {"enabling a task a policy turned off", S::DisabledByPolicy, true, false, false},
      {"disabling an enabled task", S::Enabled, false, true, false},
      {"a task a policy keeps on reads as on", S::EnabledByPolicy, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStartupTask task;
    task.current = c.before;
    FakeEntry entry;
    EXPECT_EQ(applyLaunchAtLogin(c.enable, task, entry), c.result);
    EXPECT_EQ(readLaunchAtLogin(task, entry), c.readAfter);
    if (c.enable) {
      EXPECT_EQ(entry.writes, 0) << "the Run value is not touched";
    } else {
      EXPECT_FALSE(entry.present) << "nor left to start the program after a disable";
    }
    for (const auto& id : task.asked) EXPECT_EQ(id, "VLVPNLaunchAtLogin");
  }
}

TEST(LaunchAtLogin, AFailingOrMissingTaskFallsBackToTheEntry) {
  struct Case {
    const char* name;
    std::optional<StartupTaskState> task;  // nullopt: not declared
    bool requestFails;
    bool disableFails;
  };
  const Case cases[] = {
      {"no task declared", std::nullopt, false, false},
      {"the request fails", StartupTaskState::Disabled, true, false},
      {"disabling fails", StartupTaskState::Enabled, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStartupTask task;
    task.current = c.task;
    if (c.requestFails) task.answer = std::nullopt;
    task.disableFails = c.disableFails;
    FakeEntry entry;
    if (!c.disableFails) {
      EXPECT_TRUE(applyLaunchAtLogin(true, task, entry));
      EXPECT_TRUE(entry.present) << "the entry took over";
    }
    entry.present = true;
    EXPECT_TRUE(applyLaunchAtLogin(false, task, entry));
    EXPECT_FALSE(entry.present);
    if (!c.task) {
      EXPECT_FALSE(readLaunchAtLogin(task, entry)) << "read from the entry";
    }
  }
}

TEST(LaunchAtLogin, AnUnpackagedProgramUsesOnlyItsEntry) {
  FakeStartupTask task;
  task.packaged = false;
  FakeEntry entry;
  EXPECT_TRUE(applyLaunchAtLogin(true, task, entry));
  EXPECT_TRUE(readLaunchAtLogin(task, entry));
  EXPECT_TRUE(applyLaunchAtLogin(false, task, entry));
  EXPECT_TRUE(applyLaunchAtLogin(false, task, entry)) << "also with nothing to remove";
  EXPECT_TRUE(task.asked.empty()) << "the task is never asked";

  entry.writable = false;
  EXPECT_FALSE(applyLaunchAtLogin(true, task, entry)) << "an entry that cannot be written says so";
}

}  // namespace
}  // namespace vlvpn::shell
