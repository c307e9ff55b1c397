#include "desktop/host/bridge_host.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>

namespace vlvpn::host {
namespace {

using nlohmann::json;

// A module whose methods settle now, later (on demand), or emit events.
struct FakeModule {
  std::optional<Promise> held;
  EventEmitter emit;
  int initializations = 0;

  ModuleTable table() {
    ModuleTable t;
    t.name = "Fake";
    t.events = {"ping"};
    t.constants = {{"answer", 42}};
    t.methods = {
        {"echo", {ArgType::String, ArgType::Int, ArgType::Bool, ArgType::StringList},
         [](const Args& a, Promise p) {
           p.resolve({{"s", a.string(0)}, {"i", a.integer(1)}, {"b", a.boolean(2)}, {"l", a.strings(3)}});
         }},
        {"hold", {}, [this](const Args&, Promise p) { held = std::move(p); }},
        {"fail", {}, [](const Args&, Promise p) { p.reject("It failed"); }},
        {"drop", {}, [](const Args&, Promise) {}},
        {"emit", {ArgType::String}, [this](const Args& a, Promise p) {
           emit(a.string(0), a.string(0) == "ping" ? std::optional<json>(json{{"n", 1}}) : std::nullopt);
           p.resolve();
         }},
    };
    t.initialize = [this](EventEmitter e) {
      ++initializations;
      emit = std::move(e);
    };
    return t;
  }
};

class BridgeHostTest : public testing::Test {
 protected:
  FakeModule fake;
  std::mutex mutex;
  std::vector<json> out;
  BridgeHost host{{fake.table()}, [this](const std::string& line) {
                    std::lock_guard lock(mutex);
                    out.push_back(json::parse(line));
                  }};

  json last() {
    std::lock_guard lock(mutex);
    return out.empty() ? json() : out.back();
  }
  std::string lastError() { return last()["error"]["message"].get<std::string>(); }
};

TEST_F(BridgeHostTest, AnswersCallsWithResultsAndErrors) {
  host.handleLine(R"({"id": 1, "module": "Fake", "method": "echo", "args": ["x", -5, true, ["a", "b"]]})");
  EXPECT_EQ(last(), json({{"id", 1}, {"result", {{"s", "x"}, {"i", -5}, {"b", true}, {"l", {"a", "b"}}}}}));

  host.handleLine(R"({"id": "two", "module": "Fake", "method": "fail", "args": []})" "\r");
  EXPECT_EQ(last(), json({{"id", "two"},
                          {"error", {{"code", "EUNSPECIFIED"}, {"message", "It failed"}, {"userInfo", json::object()}}}}));

  host.handleLine(R"({"id": 3, "module": "Fake", "method": "drop", "args": []})");
  EXPECT_EQ(lastError(), "Promise destroyed.");

  host.handleLine(R"({"id": 4, "module": "Fake", "method": "getConstants", "args": []})");
  EXPECT_EQ(last(), json({{"id", 4}, {"result", {{"answer", 42}}}}));
}

TEST_F(BridgeHostTest, RefusesBadLinesPreciselyAndKeepsGoing) {
  struct Case {
    const char* line;
    json id;
    const char* message;
  };
  const Case cases[] = {
      {"not json", nullptr, "Line is not valid JSON"},
      {"[1, 2]", nullptr, "A call must be a JSON object"},
      {R"({"id": 5, "method": "echo"})", 5, "A call needs \"module\" as a string"},
      {R"({"id": 6, "module": "Fake"})", 6, "A call needs \"method\" as a string"},
      {R"({"id": 7, "module": "Nope", "method": "x", "args": []})", 7, "Unknown module: Nope"},
      {R"({"id": 8, "module": "Fake", "method": "nope", "args": []})", 8, "Unknown method: Fake.nope"},
      {R"({"id": 9, "module": "Fake", "method": "echo", "args": ["x"]})", 9, "Fake.echo takes 4 arguments, got 1"},
      {R"({"id": 10, "module": "Fake", "method": "echo", "args": [1, 1, true, []]})", 10,
       "Fake.echo: argument 1 must be a string"},
      {R"({"id": 11, "module": "Fake", "method": "echo", "args": ["x", 1.5, true, []]})", 11,
       "Fake.echo: argument 2 must be a 32-bit integer"},
      {R"({"id": 12, "module": "Fake", "method": "echo", "args": ["x", 2147483648, true, []]})", 12,
       "Fake.echo: argument 2 must be a 32-bit integer"},
      {R"({"id": 13, "module": "Fake", "method": "echo", "args": ["x", 1, "yes", []]})", 13,
       "Fake.echo: argument 3 must be a boolean"},
      {R"({"id": 14, "module": "Fake", "method": "echo", "args": ["x", 1, true, ["a", 2]]})", 14,
       "Fake.echo: argument 4 must be an array of strings"},
      {R"({"id": 15, "module": "Fake", "method": "fail", "args": {}})", 15, "Fake.fail: \"args\" must be an array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    host.handleLine(c.line);
    EXPECT_EQ(last()["id"], c.id);
    EXPECT_EQ(lastError(), c.message);
  }
  host.handleLine(R"({"id": 16, "module": "Fake", "method": "fail"})");  // missing args means none
  EXPECT_EQ(lastError(), "It failed");
}

TEST_F(BridgeHostTest, AnswersInSettlementOrderAndWaitsForPendingCalls) {
  host.handleLine(R"({"id": 1, "module": "Fake", "method": "hold", "args": []})");
  host.handleLine(R"({"id": 2, "module": "Fake", "method": "fail", "args": []})");
  EXPECT_FALSE(host.waitForPendingCalls(std::chrono::milliseconds(0)));
  ASSERT_TRUE(fake.held);
  fake.held->resolve("late");
  fake.held.reset();
  EXPECT_TRUE(host.waitForPendingCalls(std::chrono::milliseconds(0)));
  std::lock_guard lock(mutex);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]["id"], 2);
  EXPECT_EQ(out[1], json({{"id", 1}, {"result", "late"}}));
}

TEST_F(BridgeHostTest, InitializesOnFirstUseAndSendsOnlyDeclaredEvents) {
  EXPECT_EQ(fake.initializations, 0);
  host.handleLine(R"({"id": 1, "module": "Fake", "method": "emit", "args": ["ping"]})");
  host.handleLine(R"({"id": 2, "module": "Fake", "method": "emit", "args": ["undeclared"]})");
  EXPECT_EQ(fake.initializations, 1);
  fake.emit("ping", std::nullopt);
  std::lock_guard lock(mutex);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], json({{"event", "ping"}, {"body", {{"n", 1}}}}));
  EXPECT_EQ(out[1]["id"], 1);
  EXPECT_EQ(out[2]["id"], 2);
  EXPECT_EQ(out[3], json({{"event", "ping"}})) << "no body key without a payload";
}

TEST_F(BridgeHostTest, ReadsLinesUntilEndOfInput) {
  std::istringstream in("\n" R"({"id": 1, "module": "Fake", "method": "fail", "args": []})" "\n   \n{broken\n");
  host.readUntilEnd(in);
  std::lock_guard lock(mutex);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1]["error"]["message"], "Line is not valid JSON");
}

TEST(BridgeHostOutput, ReplacesBytesThatAreNotUtf8) {
  std::vector<std::string> lines;
  ModuleTable t;
  t.name = "Raw";
  t.methods = {{"bytes", {}, [](const Args&, Promise p) { p.resolve(std::string("a\xC3")); }}};
  BridgeHost host({t}, [&](const std::string& line) { lines.push_back(line); });
  host.handleLine(R"({"id": 1, "module": "Raw", "method": "bytes", "args": []})");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0])["result"], "a\xEF\xBF\xBD");
}

TEST(DescribeModules, ListsModulesMethodsTypesConstantsAndEachEventOnce) {
  ModuleTable first;
  first.name = "First";
  first.events = {"ready", "changed"};
  first.methods = {{"connect", {ArgType::String, ArgType::Int, ArgType::Bool, ArgType::StringList}, {}},
                   {"status", {}, {}}};
  first.constants = {{"zeta", 1}, {"alpha", "x"}};
  ModuleTable second;
  second.name = "Second";
  second.events = {"changed", "gone"};
  second.methods = {{"ping", {}, {}}};
  const auto described = describeModules({first, second});
  EXPECT_EQ(described, nlohmann::json::parse(R"({
    "modules": [
      {"name": "First",
       "methods": [{"name": "connect", "args": ["string", "int32", "boolean", "string[]"]},
                   {"name": "status", "args": []}],
       "constants": ["alpha", "zeta"]},
      {"name": "Second", "methods": [{"name": "ping", "args": []}], "constants": []}],
    "events": ["ready", "changed", "gone"]})"));
}

}  // namespace
}  // namespace vlvpn::host
