// Clients that trickle bytes or say nothing must not keep anyone else out of
// the Linux service, where one thread reads every request as it arrives.
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/posix/unique_fd.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/unix_socket_client.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::test {
namespace {

// The service has closed this client (it reads end of input).
bool closedByService(int fd, int waitMs) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, waitMs) <= 0) return false;
  char byte;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(KillSwitchServiceUnderLoad, AnswersEveryoneElseWhileClientsTrickleOrSayNothing) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());

  // More than the service has threads, some halfway through a request.
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 100; ++i) {
    idle.push_back(connectUnixSocket(service.endpoint));
    ASSERT_TRUE(idle.back());
    if (i % 2) ::send(idle.back().get(), "OPENVPN_ST", 10, MSG_NOSIGNAL);
  }
  EXPECT_EQ(service.request("PING"), "PONG");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_EQ(service.request("DISABLE"), "OK");
  for (const auto& client : idle) {
    EXPECT_FALSE(closedByService(client.get(), 0)) << "answered before any of them timed out";
  }

  // Each is dropped once its ten seconds are up.
  int dropped = 0;
  for (const auto& client : idle) dropped += closedByService(client.get(), 15000) ? 1 : 0;
  EXPECT_EQ(dropped, 100);
  EXPECT_EQ(service.request("PING"), "PONG");
}

}  // namespace
}  // namespace vlvpn::test
