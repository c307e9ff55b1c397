// Secrets through the real Secret Service: the desktop program on a session
// bus with an unlocked keyring keeps them there, byte for byte, and writes
// no file of its own.
#include <gtest/gtest.h>

#include "tests/support/bridge_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

TEST(SecretService, KeepsSecretsInTheKeyringByteForByte) {
  VLVPN_REQUIRE_ENVIRONMENT(std::filesystem::exists("/usr/bin/gnome-keyring-daemon") &&
                                std::filesystem::exists("/usr/bin/dbus-run-session"),
                            "needs gnome-keyring and dbus-run-session");
  TempDir scratch;
  const auto data = scratch.path() / "data";
  BridgeClient bridge({{"XDG_DATA_HOME", data.string()}, {"HOME", scratch.path().string()},
                       {"XDG_RUNTIME_DIR", scratch.path().string()}},
                      {std::string(VLVPN_SOURCE_DIR) + "/tests/support/with-keyring"});
  const std::string secret = "t\xC3\xB8ken\r\nline two";
  EXPECT_TRUE(bridge.call("writeKeychainItem", {"svc/", "acct", secret})["result"].is_null());
  EXPECT_EQ(bridge.call("readKeychainItem", {"svc", "/acct"})["result"], secret) << "both join to svc//acct";
  EXPECT_FALSE(std::filesystem::exists(data / "VLVPNDesk" / "secrets")) << "the keyring holds it, not a file";
  EXPECT_TRUE(bridge.call("deleteKeychainItem", {"svc/", "acct"})["result"].is_null());
  EXPECT_EQ(bridge.call("readKeychainItem", {"svc/", "acct"})["result"], "");
}

}  // namespace
}  // namespace vlvpn::test
