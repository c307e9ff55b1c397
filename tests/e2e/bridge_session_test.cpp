// Drives the real VLVPNDesk --bridge through its standard input and output.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "tests/support/bridge_client.h"
#include "tests/support/child_process.h"
#include "tests/support/test_environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/user_data.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class BridgeSession {
 public:
  explicit BridgeSession(const EnvironmentOverrides& environment)
      : child_(ChildProcess::start(builtProgram("VLVPNDesk"), {"--bridge"}, withOwnInstance(environment))) {}

  bool started() const { return child_ != nullptr; }
  ChildProcess& child() { return *child_; }

  // Sends one call and returns its answer; events seen on the way are skipped.
  json call(const std::string& method, json args) {
    const int id = ++lastId_;
    child_->writeLine(json{{"id", id}, {"module", "VLVPNTunnel"}, {"method", method}, {"args", args}}.dump());
    return answerTo(id);
  }
  json answerTo(const json& id) {
    while (auto line = child_->readLine(30s)) {
      json message = json::parse(*line, nullptr, false);
      if (message.is_object() && message.contains("id") && message["id"] == id) return message;
    }
    ADD_FAILURE() << "no answer to call " << id;
    return json();
  }

 private:
  std::unique_ptr<ChildProcess> child_;
  int lastId_ = 0;
};

TEST(BridgeSession, RoundTripsProfilesThroughTheRealProgram) {
  TempDir home;
  UserDataFolder data(home.path());
  BridgeSession bridge(data.environment());
  ASSERT_TRUE(bridge.started());
  const std::string id = data.uniqueProfileId("e2e");

  auto saved = bridge.call("saveOvpnProfile", {id, "client\nremote 127.0.0.1 1194\n", "home.ovpn", ""});
  ASSERT_TRUE(saved.contains("result")) << saved;
  EXPECT_EQ(saved["result"]["fileName"], "home.ovpn");
  EXPECT_TRUE(saved["result"]["configPath"].get<std::string>().ends_with("home.ovpn"));

  EXPECT_EQ(bridge.call("saveOvpnProfileMeta", {id, "{\"id\":\"" + id + "\"}\r\n"})["result"], nullptr);
  EXPECT_EQ(bridge.call("saveOvpnAuth", {id, "u", "p"})["result"], nullptr);
  EXPECT_EQ(data.readProfileFile(id, "auth.txt"), "u\np\n");
  EXPECT_EQ(bridge.call("readOvpnAuth", {id})["result"], json({{"username", "u"}, {"password", "p"}}));

  const json listed = bridge.call("listSavedOvpnProfiles", json::array())["result"];
  EXPECT_NE(std::find(listed.begin(), listed.end(), json{{"_raw", "{\"id\":\"" + id + "\"}\n"}}), listed.end())
      << listed;

  // Refused identifiers touch nothing.
  for (const char* bad : {"..", ".", "", "../x", "a\\b", "c:"}) {
    EXPECT_EQ(bridge.call("deleteOvpnProfile", {bad})["error"]["message"], "Invalid profile identifier") << bad;
  }
  EXPECT_EQ(bridge.call("readOvpnAuth", {id})["result"]["username"], "u");

  EXPECT_EQ(bridge.call("readOvpnAuth", {id + "-unknown"})["error"]["message"], "Auth file not found");
  EXPECT_EQ(bridge.call("deleteOvpnProfile", {id})["result"], nullptr);
  EXPECT_EQ(bridge.call("deleteOvpnProfile", {id + "-unknown"})["result"], nullptr);
  EXPECT_EQ(bridge.call("readOvpnAuth", {id})["error"]["message"], "Auth file not found");
  bridge.call("deleteOvpnProfile", {id});

  bridge.child().closeInput();
  EXPECT_EQ(bridge.child().waitForExit(30s), 0) << "end of input ends the program";
}

TEST(BridgeSession, AnswersBadLinesAndKeepsRunning) {
  TempDir home;
  UserDataFolder data(home.path());
  BridgeSession bridge(data.environment());
  ASSERT_TRUE(bridge.started());
  auto& child = bridge.child();

  child.writeLine("this is not json");
  auto line = child.readLine(30s);
  ASSERT_TRUE(line);
  EXPECT_EQ(json::parse(*line), json({{"id", nullptr},
                                      {"error", {{"code", "EUNSPECIFIED"}, {"message", "Line is not valid JSON"},
                                                 {"userInfo", json::object()}}}}));
  child.writeLine(R"({"id": 2, "module": "VLVPNTunnel", "method": "saveOvpnAuth", "args": ["p"]})");
  EXPECT_EQ(bridge.answerTo(2)["error"]["message"], "VLVPNTunnel.saveOvpnAuth takes 3 arguments, got 1");
  child.writeLine(R"({"id": 3, "module": "VLVPNTunnel", "method": "promptVpnAuth", "args": ["a", "b"]})" "\r");
  EXPECT_EQ(bridge.answerTo(3)["error"]["message"], "Interactive auth prompt not available on Windows");
  child.writeLine(R"({"id": 4, "module": "VLVPNTunnel", "method": "getConstants", "args": []})");
  EXPECT_EQ(bridge.answerTo(4)["result"], json::object());
  child.closeInput();
  EXPECT_EQ(child.waitForExit(30s), 0);
}

TEST(BridgeSession, DescribesItsModulesWithoutStartingAnything) {
  // A running instance of the same user: --describe neither hands over to it
  // nor claims anything, and only prints.
  const EnvironmentOverrides instance{
      {"VLVPN_DESK_INSTANCE", "describe-" + std::to_string(testing::UnitTest::GetInstance()->random_seed())}};
  BridgeClient running(instance);
  ASSERT_TRUE(running.started());
  auto describe = ChildProcess::start(builtProgram("VLVPNDesk"), {"--describe"}, instance);
  ASSERT_TRUE(describe);
  std::string text;
  while (auto line = describe->readLine(std::chrono::seconds(20))) text += *line + "\n";
  EXPECT_EQ(describe->waitForExit(std::chrono::seconds(20)), 0);
  const auto described = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(described.is_discarded()) << text;
  std::vector<std::string> modules;
  for (const auto& module : described["modules"]) modules.push_back(module["name"]);
  EXPECT_EQ(modules, (std::vector<std::string>{"VLVPNTunnel", "VLVPNBuildConfig", "VLVPNAuthSession"}));
  EXPECT_EQ(described["modules"][1]["constants"].size(), 6u);
  EXPECT_NE(std::find(described["events"].begin(), described["events"].end(), "tunnelAdapterChanged"),
            described["events"].end());
  EXPECT_EQ(running.call("pingHelper")["result"], "pong") << "the running instance is untouched";
}

}  // namespace
}  // namespace vlvpn::test
