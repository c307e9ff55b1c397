// The Linux service under load and abuse: a thousand clients at once, a
// hundred thousand requests, silent clients, odd bytes, and a hard kill with
// both filter sets on.
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/posix/unique_fd.h"
#include "service/connection.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/unix_socket_client.h"
#include "tests/support/network_namespace.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

using Clock = std::chrono::steady_clock;

// Requests whose replies differ, so a reply that went to the wrong client
// or was cut short is noticed.
struct Exchange {
  std::string request;
  std::string reply;
};
const Exchange kExchanges[] = {
    {"PING\n", "PONG\n"},
    {"OPENVPN_STATUS\n", "OK STOPPED\n"},
    {"Ping\r\n", "PONG\n"},
    {"NO_SUCH_COMMAND 17\n", "ERR unknown_command\n"},
    {"OPENVPN_START\tonly one field\n", "ERR bad_format\n"},
    {"OPENVPN_START\t/tmp/openvpn\t--config x\n", "ERR exe_not_allowed\n"},
};

struct Client {
  UniqueFd fd;
  const Exchange* exchange = nullptr;
  std::string received;
};

struct LoadResult {
  size_t answered = 0;
  size_t busy = 0;  // of those answered: "ERR busy", with more than kMaxWaiting ahead of them
  size_t wrong = 0;
  size_t unconnected = 0;
  std::string firstWrong;
};

// Keeps `concurrent` clients connected at every moment, each sending one
// request and reading its reply to the end, until `total` were answered.
LoadResult runLoad(const std::string& endpoint, size_t concurrent, size_t total) {
  LoadResult result;
  std::vector<Client> clients(concurrent);
  size_t started = 0;
  const auto startClient = [&](Client& client) {
    client = Client{};
    if (started == total) return;
    client.fd = connectUnixSocket(endpoint);
    client.exchange = &kExchanges[started % std::size(kExchanges)];
    ++started;
    if (!client.fd) {
      ++result.unconnected;
      return;
    }
    ::send(client.fd.get(), client.exchange->request.data(), client.exchange->request.size(), MSG_NOSIGNAL);
  };
  for (auto& client : clients) startClient(client);

  const auto deadline = Clock::now() + std::chrono::minutes(5);
  std::vector<pollfd> entries;
  while (result.answered + result.wrong + result.unconnected < total && Clock::now() < deadline) {
    entries.clear();
    for (const auto& client : clients) entries.push_back({client.fd ? client.fd.get() : -1, POLLIN, 0});
    if (::poll(entries.data(), entries.size(), 1000) < 0) break;
    for (size_t i = 0; i < clients.size(); ++i) {
      if (!entries[i].revents) continue;
      Client& client = clients[i];
      char buffer[256];
      const ssize_t n = ::recv(client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        client.received.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EAGAIN) continue;
      // The service closed the connection: the reply is all there is.
      const bool healthCheck = client.exchange->reply == "PONG\n";
      if (client.received == client.exchange->reply) {
        ++result.answered;
      } else if (client.received == "ERR busy\n" && !healthCheck) {
        ++result.answered;
        ++result.busy;
      } else {
        if (result.wrong++ == 0) result.firstWrong = client.exchange->request + " -> [" + client.received + "]";
      }
      startClient(client);
    }
  }
  return result;
}

TEST(KillSwitchServiceUnderLoad, AThousandClientsAtOnceGetAHundredThousandRightAnswers) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  const LoadResult result = runLoad(service.endpoint, 1000, 100000);
  EXPECT_EQ(result.answered, 100000u);
  EXPECT_EQ(result.wrong, 0u) << result.firstWrong;
  EXPECT_EQ(result.unconnected, 0u);
  EXPECT_EQ(service.request("PING"), "PONG");
  EXPECT_EQ(service.stop(), 0);
}

// PING on a connection of its own, given `timeoutMs` for the reply.
bool pingAnsweredWithin(const std::string& endpoint, int timeoutMs) {
  UniqueFd fd = connectUnixSocket(endpoint);
  if (!fd || ::send(fd.get(), "PING\n", 5, MSG_NOSIGNAL) != 5) return false;
  pollfd entry{fd.get(), POLLIN, 0};
  char reply[16] = {};
  return ::poll(&entry, 1, timeoutMs) > 0 && ::recv(fd.get(), reply, sizeof reply, 0) == 5 &&
         std::string_view(reply, 5) == "PONG\n";
}

// Thousands of commands at once from one user: past kMaxWaiting waiting
// for the command lock, a newcomer is told "ERR busy" and let go, so the
// service's descriptors (1,024 under systemd) never run out and PING is
// answered throughout.
TEST(KillSwitchServiceUnderLoad, AFloodOfCommandsIsBoundedAndPingStaysAnswered) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace space("flood");  // the commands change its firewall, not the machine's
  TempDir scratch;
  std::vector<std::string> wrapper = space.wrapper();
  wrapper.insert(wrapper.end(), {"/usr/bin/prlimit", "--nofile=1024:1024"});  // as systemd starts it
  KillSwitchService service(scratch.path(), wrapper);
  ASSERT_TRUE(service.waitUntilAnswering());
  // Each command runs nftables under the command lock, far slower than
  // connections come in.
  std::vector<UniqueFd> flood;
  int pingsMissed = 0;
  for (int i = 0; i < 3000; ++i) {
    UniqueFd fd = connectUnixSocket(service.endpoint);
    if (!fd) break;
    const std::string request = i % 2 ? "DISABLE\n" : "UNBLOCK_IPV6\n";
    ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    flood.push_back(std::move(fd));
    if (i % 250 == 249 && !pingAnsweredWithin(service.endpoint, 1000)) ++pingsMissed;
  }
  EXPECT_EQ(pingsMissed, 0) << "PING answered within a second all through the flood";
  size_t busy = 0, done = 0;
  for (auto& fd : flood) {
    char buffer[64];
    pollfd entry{fd.get(), POLLIN, 0};
    if (::poll(&entry, 1, 20000) <= 0) continue;
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    const std::string reply(buffer, static_cast<size_t>(n));
    if (reply == "ERR busy\n") ++busy;
    if (reply == "OK\n" || reply == "ERR busy\n") ++done;
  }
  EXPECT_EQ(done, flood.size()) << "every request answered, one way or the other";
  EXPECT_GT(busy, 0u) << "more came than may wait";
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED") << "served again once the flood is over";
  std::printf("a flood of %zu commands: %zu answered ERR busy\n", flood.size(), busy);
}

TEST(KillSwitchServiceUnderLoad, FiveHundredSilentClientsLeavePingAnswered) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 500; ++i) {
    silent.push_back(connectUnixSocket(service.endpoint));
    ASSERT_TRUE(silent.back()) << i;
  }
  // Every one of them is let in and waits to be read: none takes a worker.
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(service.request("PING"), "PONG") << i;
    ASSERT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED") << i;
  }
  const LoadResult result = runLoad(service.endpoint, 8, 2000);
  EXPECT_EQ(result.answered, 2000u) << result.firstWrong;
}

TEST(KillSwitchServiceUnderLoad, MoreSilentClientsThanAreReadMakeRoomForAPing) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  constexpr size_t kSilent = 700;
  std::vector<UniqueFd> silent;
  for (size_t i = 0; i < kSilent; ++i) {
    silent.push_back(connectUnixSocket(service.endpoint));
    ASSERT_TRUE(silent.back()) << i;
  }
  ASSERT_EQ(service.request("PING"), "PONG");
  ASSERT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  // Exactly the oldest made room, each as a newer one came: had the PING
  // waited for room, the first kMaxReading would have been dropped at their
  // deadline instead.
  size_t closed = 0;
  for (const auto& client : silent) {
    pollfd entry{client.get(), POLLIN, 0};
    char byte;
    if (::poll(&entry, 1, 0) == 1 && ::recv(client.get(), &byte, 1, MSG_DONTWAIT) == 0) ++closed;
  }
  EXPECT_EQ(closed, kSilent - service::kMaxReading);
}

// Reads until the service closes, so a second line would be seen.
std::string everythingAnswered(const std::string& endpoint, const std::string& bytes) {
  UniqueFd fd = connectUnixSocket(endpoint);
  if (!fd) return "<no connection>";
  ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string received;
  char buffer[4096];
  for (;;) {
    pollfd entry{fd.get(), POLLIN, 0};
    if (::poll(&entry, 1, 15000) <= 0) return received + "<no end>";
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) return received;
    received.append(buffer, static_cast<size_t>(n));
  }
}

TEST(KillSwitchServiceUnderLoad, OddBytesGetOneAnswerAndRunNothingElse) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  ASSERT_TRUE(service.waitUntilAnswering());
  const std::string& at = service.endpoint;
  using namespace std::string_literals;

  EXPECT_EQ(everythingAnswered(at, std::string(70000, 'A')), "ERR unknown_command\n") << "oversized, no line end";
  EXPECT_EQ(everythingAnswered(at, std::string(70000, ' ') + "PING\n"), "ERR unknown_command\n")
      << "past 65,536 bytes the request is complete: a command beyond is never read";
  std::string nuls(100000, '\0');
  nuls.replace(0, 15, "OPENVPN_STATUS ");
  EXPECT_EQ(everythingAnswered(at, nuls + "\n"), "OK STOPPED\n") << "NUL bytes after the command word";
  EXPECT_EQ(everythingAnswered(at, "PI\0NG\n"s), "ERR unknown_command\n");
  EXPECT_EQ(everythingAnswered(at, "\0PING\n"s), "ERR unknown_command\n");
  EXPECT_EQ(everythingAnswered(at, "OPENVPN_STATUS\rOPENVPN_STOP\n"), "OK STOPPED\n") << "a CR is no line end";
  EXPECT_EQ(everythingAnswered(at, "OPENVPN_STATUS\nOPENVPN_STOP\nPING\n"), "OK STOPPED\n") << "one request a connection";

  const std::string log = service.logText();
  EXPECT_EQ(log.find(" OPENVPN_STOP -> "), std::string::npos) << "nothing after the first command ran";
  EXPECT_NE(log.find("OPENVPN_STATUS\\x0DOPENVPN_STOP -> OK STOPPED"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(service.request("PING"), "PONG");
}

TEST(KillSwitchServiceUnderLoad, AHardKillWithBothFilterSetsOnLeavesNoTable) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("client"), server("server");
  ASSERT_TRUE(connectNamespaces(client, {"198.18.0.1/24"}, server, {"198.18.0.2/24"}));
  TempDir scratch;
  KillSwitchService service(scratch.path(), client.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());
  ASSERT_EQ(service.request("ENABLE udp 1194 1 198.18.0.2"), "OK");
  ASSERT_EQ(service.request("BLOCK_IPV6"), "OK");
  const std::string tables = client.run({"nft", "list", "tables"}).value_or("");
  ASSERT_NE(tables.find("VLVPNKillSwitch"), std::string::npos) << tables;
  ASSERT_NE(tables.find("VLVPNIpv6Block"), std::string::npos) << tables;

  service.kill();
  EXPECT_EQ(client.run({"nft", "list", "tables"}).value_or("?"), "") << "the kernel took both tables with the service";

  // A new service starts from a clean slate and fences again.
  KillSwitchService again(scratch.path(), client.wrapper());
  ASSERT_TRUE(again.waitUntilAnswering());
  EXPECT_EQ(again.request("ENABLE udp 1194 1 198.18.0.2"), "OK");
  EXPECT_NE(client.run({"nft", "list", "tables"}).value_or("").find("VLVPNKillSwitch"), std::string::npos);
}

}  // namespace
}  // namespace vlvpn::test
