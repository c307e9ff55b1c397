// The Windows kill-switch engine over a fake of the filtering platform: sets
// replaced in one transaction that a failure aborts, so the set that was on
// stays on.
#include <gtest/gtest.h>

#include "service/wfp_platform_win32.h"
#include "tests/fakes/fake_wfp_platform_win32.h"

namespace vlvpn::service {
namespace {

using test::CapturedFilter;
using test::FakeWfpPlatform;

struct EngineRig {
  FakeWfpPlatform* platform = new FakeWfpPlatform;
  std::unique_ptr<FilterEngine> engine = createWfpEngine(std::unique_ptr<WfpPlatform>(platform));

  void failNext(const char* call, int nth = 1) {
    platform->failCall = call;
    platform->failAt = nth;
    platform->calls.clear();
  }
  int count(const char* call) const {
    return static_cast<int>(std::count(platform->calls.begin(), platform->calls.end(), call));
  }
};

KillSwitchRequest serverA() { return {"udp", 1194, false, {0xC6120002}, ""}; }
KillSwitchRequest serverB() { return {"tcp", 443, true, {0xC6120003, 0xC6120004}, ""}; }

std::vector<UINT64> ids(const std::vector<CapturedFilter>& filters) {
  std::vector<UINT64> result;
  for (const auto& filter : filters) result.push_back(filter.id);
  return result;
}

// The lookups have no use without an engine; on a system where the platform
// is missing they are not even safe to call (under Wine they abort).
TEST(WfpEngine, LooksNothingUpBeforeItsSessionIsOpen) {
  for (bool killSwitch : {true, false}) {
    SCOPED_TRACE(killSwitch ? "kill switch" : "IPv6 block");
    auto* platform = new FakeWfpPlatform;
    auto engine = createWfpEngine(std::unique_ptr<WfpPlatform>(platform), {L"C:\\VPN\\openvpn.exe"});
    platform->failCall = "openSession";
    platform->failAt = 1;
    KillSwitchRequest request = serverA();
    request.exe = "C:\\VPN\\VLVPNDesk.exe";
    EXPECT_NE(killSwitch ? engine->enableKillSwitch(request) : engine->blockIpv6(), 0u);
    EXPECT_EQ(platform->calls, std::vector<std::string>{"openSession"});
  }
}

TEST(WfpEngine, AFailedReplacementAbortsAndLeavesThePreviousSetInForce) {
  struct Case {
    const char* call;
    int nth;
  };
  const Case cases[] = {
      {"beginTransaction", 1}, {"deleteFilter", 1},      {"deleteFilter", 7},
      {"addFilter", 1},        {"addFilter", 4},         {"commitTransaction", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.call << " #" << c.nth);
    EngineRig rig;
    ASSERT_EQ(rig.engine->enableKillSwitch(serverA()), 0u);
    const auto before = ids(rig.platform->filtersInForce());
    ASSERT_FALSE(before.empty());

    rig.failNext(c.call, c.nth);
    EXPECT_EQ(rig.engine->enableKillSwitch(serverB()), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ids(rig.platform->filtersInForce()), before) << "the old set, whole";
    EXPECT_EQ(rig.count("closeSession"), 0) << "the session holding the old set stays open";
    EXPECT_EQ(rig.count("openSession"), 0);
    if (std::string(c.call) != "beginTransaction" && std::string(c.call) != "commitTransaction") {
      EXPECT_EQ(rig.count("abortTransaction"), 1);
    }

    // The next request still replaces it, in the same session.
    rig.platform->failCall.clear();
    EXPECT_EQ(rig.engine->enableKillSwitch(serverB()), 0u);
    EXPECT_EQ(rig.platform->openSessions(), 1);
    EXPECT_EQ(rig.platform->sublayersInForce().size(), 1u);
    for (UINT64 old : before) {
      for (const auto& filter : rig.platform->filtersInForce()) EXPECT_NE(filter.id, old);
    }
  }
}

TEST(WfpEngine, AReplacementIsOneTransactionOfDeletionsThenAdditions) {
  EngineRig rig;
  ASSERT_EQ(rig.engine->enableKillSwitch(serverA()), 0u);
  const size_t oldCount = rig.platform->filtersInForce().size();
  rig.platform->calls.clear();
  ASSERT_EQ(rig.engine->enableKillSwitch(serverB()), 0u);
  const auto& calls = rig.platform->calls;
  ASSERT_FALSE(calls.empty());
  const auto begin = std::find(calls.begin(), calls.end(), "beginTransaction");
  ASSERT_NE(begin, calls.end());
  for (auto call = calls.begin(); call != begin; ++call) {
    EXPECT_TRUE(*call == "appId" || *call == "serviceUser") << *call << ": only lookups before the transaction";
  }
  EXPECT_EQ(std::find(begin, calls.end(), "appId"), calls.end()) << "and none inside it";
  EXPECT_EQ(calls.back(), "commitTransaction");
  EXPECT_EQ(rig.count("deleteFilter"), static_cast<int>(oldCount));
  EXPECT_EQ(rig.count("addSublayer"), 0) << "the sublayer stays from the first set";
  const auto firstAdd = std::find(calls.begin(), calls.end(), "addFilter");
  EXPECT_EQ(std::find(firstAdd, calls.end(), "deleteFilter"), calls.end()) << "every deletion before any addition";
}

TEST(WfpEngine, AFirstSetThatFailsLeavesNothingAndNoSession) {
  for (const char* call : {"openSession", "addSublayer", "addFilter", "commitTransaction"}) {
    SCOPED_TRACE(call);
    EngineRig rig;
    rig.failNext(call);
    EXPECT_EQ(rig.engine->enableKillSwitch(serverA()), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(rig.platform->filtersInForce().empty());
    EXPECT_EQ(rig.platform->openSessions(), 0);
  }
}

TEST(WfpEngine, AMissingExceptionOnlyBlocksMore) {
  EngineRig rig;
  rig.failNext("addFilter", 5);  // the first exception (loopback, outbound IPv4)
  ASSERT_EQ(rig.engine->enableKillSwitch(serverA()), 0u);
  const auto plan = buildKillSwitchPlan(serverA(), {});
  EXPECT_EQ(rig.platform->filtersInForce().size(), plan.filters.size() - 1);
}

TEST(WfpEngine, EachSetHasItsOwnSessionAndGoesWithIt) {
  EngineRig rig;
  rig.platform->taps = {0x0006000000000007ull};
  ASSERT_EQ(rig.engine->enableKillSwitch(serverA()), 0u);
  ASSERT_EQ(rig.engine->blockIpv6(), 0u);
  EXPECT_EQ(rig.platform->openSessions(), 2);
  const size_t both = rig.platform->filtersInForce().size();

  rig.failNext("addFilter");
  EXPECT_NE(rig.engine->blockIpv6(), 0u);
  EXPECT_EQ(rig.platform->filtersInForce().size(), both) << "a failed IPv6 block keeps the one in force";

  rig.platform->failCall.clear();
  rig.engine->disableKillSwitch();
  EXPECT_EQ(rig.platform->openSessions(), 1);
  for (const auto& sublayer : rig.platform->sublayersInForce()) EXPECT_EQ(sublayer.name, L"VLVPN IPv6 Block");
  rig.engine->unblockIpv6();
  rig.engine->unblockIpv6();
  EXPECT_EQ(rig.platform->openSessions(), 0);
  EXPECT_TRUE(rig.platform->filtersInForce().empty());
}

}  // namespace
}  // namespace vlvpn::service
