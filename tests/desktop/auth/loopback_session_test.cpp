// The loopback sign-in: its texts as values, then whole sign-ins against
// the real loopback listener with a local client standing in for the
// browser the provider redirects.
#include "desktop/auth/loopback_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/support/loopback_client.h"

namespace vlvpn::auth {
namespace {

using host::Settlement;
using nlohmann::json;

TEST(LoopbackTexts, CallbackUrlKeepsTheTargetByteForByte) {
  EXPECT_EQ(callbackUrlFromRequest("GET /oauth2redirect?code=a%2Fb&state=x HTTP/1.1\r\nHost: h\r\n\r\n", 42813),
            "http://127.0.0.1:42813/oauth2redirect?code=a%2Fb&state=x");
  EXPECT_EQ(callbackUrlFromRequest("GET /oauth2redirect?error=access_denied", 5), "http://127.0.0.1:5/oauth2redirect?error=access_denied")
      << "no second space: the target runs to the end of the line";
  EXPECT_EQ(callbackUrlFromRequest("GET\r\n/x y", 1), "") << "no space in the request line";
  EXPECT_EQ(callbackUrlFromRequest("GET  HTTP/1.1\r\n", 1), "") << "an empty target";
  EXPECT_EQ(callbackUrlFromRequest("", 1), "");
  // Targets that would send the address somewhere else than this listener.
  EXPECT_EQ(callbackUrlFromRequest("GET @evil.example/?code=x HTTP/1.1\r\n", 7), "") << "would be a user name and host";
  EXPECT_EQ(callbackUrlFromRequest("GET //evil.example/?code=x HTTP/1.1\r\n", 7), "");
  EXPECT_EQ(callbackUrlFromRequest("GET /?code=x\nHost: h", 7), "") << "a line end without CR stays out";
  EXPECT_EQ(callbackUrlFromRequest("GET http://127.0.0.1:7/?code=x HTTP/1.1\r\n", 7), "") << "absolute form";
  EXPECT_EQ(redirectUri(42814), "http://127.0.0.1:42814/oauth2redirect");
}

TEST(LoopbackTexts, TheBrowserGetsExactlyThisPage) {
  const std::string page =
      "<html><head><meta charset=\"utf-8\"><title>Velmora VPN</title></head><body style=\"font-family:Segoe "
      "UI,sans-serif;padding:40px;text-align:center;\"><h2>Signed in</h2><p>You can close this window and return to "
      "Velmora VPN.</p></body></html>";
  EXPECT_EQ(signedInReply(), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                 std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
}

class LoopbackSignIn : public testing::Test {
 protected:
  Settlement call(const std::string& method, json args = json::array()) {
    std::promise<Settlement> done;
    module.findMethod(method)->invoke(host::Args(std::move(args)),
                                      host::Promise([&](Settlement s) { done.set_value(std::move(s)); }));
    return done.get_future().get();
  }
  // Starts the await; its settlement comes later.
  std::future<Settlement> startAwait(const std::string& url) {
    auto done = std::make_shared<std::promise<Settlement>>();
    auto settled = done->get_future();
    module.findMethod("awaitLoopbackCallback")
        ->invoke(host::Args(json::array({url})), host::Promise([done](Settlement s) { done->set_value(std::move(s)); }));
    return settled;
  }

  std::string opened;
  std::function<void(const std::string&)> onOpen = [](const std::string&) {};
  LoopbackPorts ports{.listen = LoopbackListener::listen,
                      .openBrowser = [this](const std::string& url) {
                        opened = url;
                        onOpen(url);
                        return true;
                      },
                      .redirectWait = std::chrono::milliseconds(20000),
                      .startThread = host::startDetachedThread};
  host::ModuleTable module = makeAuthSessionModule(ports);
};

TEST_F(LoopbackSignIn, ResolvesWithTheRedirectAsTheBrowserSentIt) {
  const json begun = call("beginLoopback").value();
  const auto port = begun["port"].get<uint16_t>();
  EXPECT_EQ(begun["redirectUri"], redirectUri(port));

  std::string page;
  std::thread browser;
  onOpen = [&](const std::string&) {
    browser = std::thread([&, port] { page = test::requestFromLoopback(port, "GET /oauth2redirect?code=abc&state=xyz HTTP/1.1\r\n\r\n"); });
  };
  auto settled = startAwait("https://accounts.example/o/oauth2/auth?client_id=1");
  EXPECT_EQ(settled.get().value(), json({{"callbackUrl", "http://127.0.0.1:" + std::to_string(port) +
                                                             "/oauth2redirect?code=abc&state=xyz"}}));
  browser.join();
  EXPECT_EQ(opened, "https://accounts.example/o/oauth2/auth?client_id=1");
  EXPECT_EQ(page, signedInReply());
  EXPECT_EQ(call("awaitLoopbackCallback", {"https://x"}).error().message,
            "Call beginLoopback before awaitLoopbackCallback") << "one sign-in per listener";
}

TEST_F(LoopbackSignIn, ARequestWithoutATargetGetsThePageAndNoCode) {
  const auto port = call("beginLoopback").value()["port"].get<uint16_t>();
  std::string page;
  std::thread browser;
  onOpen = [&](const std::string&) { browser = std::thread([&, port] { page = test::requestFromLoopback(port, "NONSENSE\r\n\r\n"); }); };
  auto settled = startAwait("https://x");
  EXPECT_EQ(settled.get().error().message, "no_code: Google redirect did not include a code");
  browser.join();
  EXPECT_EQ(page, signedInReply());
}

TEST_F(LoopbackSignIn, OneAwaitAtATimeAndCancelEndsIt) {
  EXPECT_EQ(call("awaitLoopbackCallback", {"https://x"}).error().message,
            "Call beginLoopback before awaitLoopbackCallback");
  ASSERT_TRUE(call("beginLoopback"));
  EXPECT_EQ(call("awaitLoopbackCallback", {""}).error().message, "invalid_url: Missing OAuth authorize URL");
  ASSERT_TRUE(call("beginLoopback"));
  auto first = startAwait("https://x");
  EXPECT_EQ(call("awaitLoopbackCallback", {"https://x"}).error().message, "OAuth loopback already waiting");
  EXPECT_EQ(call("cancelLoopback").value(), true);
  EXPECT_EQ(first.get().error().message, "cancelled: Google sign-in was cancelled");
  EXPECT_EQ(call("cancelLoopback").value(), true) << "nothing pending";
}

TEST_F(LoopbackSignIn, ANewSignInCancelsTheWaitingOneAndKeepsItsOwnListener) {
  ASSERT_TRUE(call("beginLoopback"));
  auto earlier = startAwait("https://x");
  const auto port = call("beginLoopback").value()["port"].get<uint16_t>();
  EXPECT_EQ(earlier.get().error().message, "cancelled: Google sign-in was cancelled");

  std::thread browser;
  onOpen = [&](const std::string&) { browser = std::thread([port] { test::requestFromLoopback(port, "GET /oauth2redirect?code=2 HTTP/1.1\r\n\r\n"); }); };
  auto later = startAwait("https://y");
  EXPECT_EQ(later.get().value()["callbackUrl"], "http://127.0.0.1:" + std::to_string(port) + "/oauth2redirect?code=2");
  browser.join();
}

TEST_F(LoopbackSignIn, NoRedirectInTimeEndsTheWaitAndABrowserThatWillNotOpenToo) {
  ports.redirectWait = std::chrono::milliseconds(50);
  module = makeAuthSessionModule(ports);
  ASSERT_TRUE(call("beginLoopback"));
  EXPECT_EQ(startAwait("https://x").get().error().message, "cancelled: Google sign-in timed out");

  ports.openBrowser = [](const std::string&) { return false; };
  ports.redirectWait = std::chrono::milliseconds(20000);
  module = makeAuthSessionModule(ports);
  ASSERT_TRUE(call("beginLoopback"));
  EXPECT_EQ(startAwait("https://x").get().error().message, "open_url: Could not open the system browser");
}

TEST_F(LoopbackSignIn, FallsBackToAPortTheSystemChoosesWhenThePreferredOnesAreTaken) {
  // Each preferred port held here; one still held by a listener that is
  // going away (an earlier test's, another test program's) is waited for,
  // or it could come free between this loop and the call.
  std::vector<std::shared_ptr<LoopbackListener>> taken;
  for (const uint16_t port : kPreferredLoopbackPorts) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (auto held = LoopbackListener::listen(port)) {
        taken.push_back(std::move(held).value());
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_EQ(taken.size(), std::size(kPreferredLoopbackPorts)) << "every preferred port is held by the test";
  const auto port = call("beginLoopback").value()["port"].get<uint16_t>();
  for (const uint16_t preferred : kPreferredLoopbackPorts) EXPECT_NE(port, preferred);
  EXPECT_NE(port, 0);
}

}  // namespace
}  // namespace vlvpn::auth
