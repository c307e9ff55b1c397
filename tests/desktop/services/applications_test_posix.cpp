// Ending the user's own programs by their executable's file name on Linux.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "desktop/services/applications.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace vlvpn::services {
namespace {

TEST(LinuxApplications, EndsTheProcessesOfAProgramByItsFileNameAndListsEachOnce) {
  test::TempDir scratch;
  const auto program = scratch.path() / "Velmora-Sleeper";
  std::filesystem::copy_file("/bin/sleep", program);
  std::string path = program.string(), seconds = "60";
  char* argv[] = {path.data(), seconds.data(), nullptr};
  pid_t first = -1, second = -1;
  ASSERT_EQ(posix_spawn(&first, path.c_str(), nullptr, nullptr, argv, environ), 0);
  ASSERT_EQ(posix_spawn(&second, path.c_str(), nullptr, nullptr, argv, environ), 0);

  const auto ended = terminateApplications({"velmora-sleeper", "VELMORA-SLEEPER"});
  EXPECT_EQ(ended, (std::vector<std::string>{"Velmora-Sleeper", "Velmora-Sleeper"})) << "one entry per process";
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_EQ(waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_TRUE(terminateApplications({"Velmora-Sleeper"}).empty()) << "nothing left to end";
}

}  // namespace
}  // namespace vlvpn::services
