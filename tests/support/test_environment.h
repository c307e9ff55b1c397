// What the tests need to know about where they run.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace vlvpn::test {

// CI=true: a test that cannot run for lack of root, a namespace or Wine
// fails instead of skipping.
bool strictEnvironment();

// The folder of the running test program; the programs under test sit beside it.
std::filesystem::path programFolder();

// A program of the build by its base name ("VLVPNDesk" gives VLVPNDesk.exe on Windows).
std::filesystem::path builtProgram(const std::string& baseName);

// Whether VLVPNKillSwitch in console mode runs its shutdown steps when asked
// to stop: on Linux SIGTERM does; on Windows nothing signals a console-mode
// service, which is simply ended.
bool consoleServiceShutsDownCleanly();

}  // namespace vlvpn::test

// For what the machine lacks (root, a namespace, Wine): a skip with the reason,
// or a failure under CI. What the platform lacks by design is a plain GTEST_SKIP.
#define VLVPN_REQUIRE_ENVIRONMENT(condition, reason)                   \
  do {                                                                 \
    if (!(condition)) {                                                \
      if (::vlvpn::test::strictEnvironment()) FAIL() << (reason);      \
      GTEST_SKIP() << (reason);                                        \
    }                                                                  \
  } while (false)
