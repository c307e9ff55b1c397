// A whole sign-in with a real browser: headless Chromium stands in as the
// system browser (xdg-open), opens a provider page on loopback that
// redirects it to the program's redirect address, and the await resolves
// with the exact address the browser was sent to.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "common/posix/unique_fd.h"
#include "tests/support/bridge_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

using namespace std::chrono_literals;

// Serves one request with a redirect to `location`.
class ProviderPage {
 public:
  ProviderPage() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(socket_.get(), 4) == 0 &&
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~ProviderPage() {
    ::shutdown(socket_.get(), SHUT_RDWR);
    if (server_.joinable()) server_.join();
  }
  uint16_t port() const { return port_; }
  void redirectTo(const std::string& location) {
    server_ = std::thread([this, location] {
      UniqueFd client(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) return;
      char buffer[4096];
      (void)::recv(client.get(), buffer, sizeof buffer, 0);
      const std::string reply = "HTTP/1.1 302 Found\r\nLocation: " + location +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    });
  }

 private:
  UniqueFd socket_;
  uint16_t port_ = 0;
  std::thread server_;
};

TEST(BrowserSignIn, ARealBrowserFollowsTheProviderBackToTheProgram) {
  VLVPN_REQUIRE_ENVIRONMENT(std::filesystem::exists("/usr/bin/chromium"), "needs Debian's chromium");
  TempDir scratch;
  const auto bin = scratch.path() / "bin";
  std::filesystem::create_directories(bin);
  {
    std::ofstream opener(bin / "xdg-open");
    opener << "#!/bin/sh\nexec /usr/bin/chromium --headless --no-sandbox --disable-gpu --no-first-run "
              "--user-data-dir='" << (scratch.path() / "chromium").string() << "' --dump-dom \"$1\" >/dev/null 2>&1\n";
  }
  std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms(0755));
  const char* path = std::getenv("PATH");
  BridgeClient bridge({{"XDG_DATA_HOME", (scratch.path() / "data").string()},
                       {"HOME", scratch.path().string()},
                       {"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")}});

  const auto begun = bridge.answerTo(bridge.send("beginLoopback", nlohmann::json::array(), "VLVPNAuthSession"));
  ASSERT_TRUE(begun.contains("result")) << begun;
  const std::string redirect = begun["result"]["redirectUri"];
  ProviderPage provider;
  ASSERT_NE(provider.port(), 0);
  provider.redirectTo(redirect + "?state=s%2F1&code=4%2F0Ab-xyz");

  const int id = bridge.send("awaitLoopbackCallback",
                             {"http://127.0.0.1:" + std::to_string(provider.port()) + "/o/oauth2/auth?client_id=1"},
                             "VLVPNAuthSession");
  const auto answer = bridge.answerTo(id, 60s);
  ASSERT_TRUE(answer.contains("result")) << answer;
  EXPECT_EQ(answer["result"]["callbackUrl"], redirect + "?state=s%2F1&code=4%2F0Ab-xyz");
}

}  // namespace
}  // namespace vlvpn::test
