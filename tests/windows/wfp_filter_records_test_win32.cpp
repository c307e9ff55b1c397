// The filtering platform's records for a plan, field by field. Wine cannot
// add them (the engine is not there), so what would be added is checked here.
#include "service/wfp_filter_records_win32.h"

#include <gtest/gtest.h>

#include "tests/support/wfp_arbitration_win32.h"

namespace vlvpn::service {
namespace {

// The platform's published identifiers, written out as text, never the
// constants the code under test uses.
GUID published(const char* text) { return test::guidFromText(text); }
namespace wfp_published = test::wfp_published;

GUID publishedLayer(Layer layer) {
  switch (layer) {
    case Layer::ConnectV4: return published(wfp_published::kLayerAleAuthConnectV4);
    case Layer::ConnectV6: return published(wfp_published::kLayerAleAuthConnectV6);
    case Layer::RecvAcceptV4: return published(wfp_published::kLayerAleAuthRecvAcceptV4);
    case Layer::RecvAcceptV6: return published(wfp_published::kLayerAleAuthRecvAcceptV6);
  }
  return {};
}
constexpr GUID kSublayer = {0x3b1f9e42, 0x7c8a, 0x4d6e, {0x9f, 0x11, 0xb0, 0x12, 0x34, 0x56, 0x78, 0x9a}};

TEST(WfpFilterRecords, SpellEveryConditionAsThePlatformWantsIt) {
  FWP_BYTE_BLOB appId{}, nlaUser{};
  FilterPlan plan{FilterSet::KillSwitch, {}, 1};
  plan.filters.push_back({Layer::ConnectV4, {}, Action::Block, 1});
  plan.filters.push_back({Layer::RecvAcceptV6,
                          {{Condition::Field::Loopback},
                           {Condition::Field::LocalInterface, 0x0006000000000007ull},
                           {Condition::Field::RemoteAddress, 0xC6120009},
                           {Condition::Field::Protocol, kProtocolUdp},
                           {Condition::Field::RemotePort, 1194},
                           {Condition::Field::LocalPort, 68},
                           {Condition::Field::AppId},
                           {Condition::Field::NlaUser},
                           {Condition::Field::IcmpType, 135}},
                          Action::Permit,
                          14});
  const WfpFilterRecords records(plan, kSublayer, {&appId, &nlaUser});
  ASSERT_EQ(records.records().size(), 2u);

  const FWPM_FILTER0& blockAll = records.records()[0];
  EXPECT_EQ(blockAll.layerKey, published(wfp_published::kLayerAleAuthConnectV4));
  EXPECT_EQ(blockAll.subLayerKey, kSublayer);
  EXPECT_EQ(blockAll.weight.type, FWP_UINT8);
  EXPECT_EQ(blockAll.weight.uint8, 1);
  EXPECT_EQ(blockAll.action.type, static_cast<FWP_ACTION_TYPE>(FWP_ACTION_BLOCK));
  EXPECT_EQ(blockAll.numFilterConditions, 0u);
  EXPECT_EQ(blockAll.filterCondition, nullptr);
  EXPECT_STREQ(blockAll.displayData.name, L"VLVPN Kill Switch");

  const FWPM_FILTER0& exception = records.records()[1];
  EXPECT_EQ(exception.layerKey, published(wfp_published::kLayerAleAuthRecvAcceptV6));
  EXPECT_EQ(exception.weight.uint8, 14);
  EXPECT_EQ(exception.action.type, static_cast<FWP_ACTION_TYPE>(FWP_ACTION_PERMIT));
  ASSERT_EQ(exception.numFilterConditions, 9u);
  const FWPM_FILTER_CONDITION0* c = exception.filterCondition;

  EXPECT_EQ(c[0].fieldKey, published(wfp_published::kConditionFlags));
  EXPECT_EQ(c[0].matchType, FWP_MATCH_FLAGS_ALL_SET);
  EXPECT_EQ(c[0].conditionValue.type, FWP_UINT32);
  EXPECT_EQ(c[0].conditionValue.uint32, static_cast<UINT32>(FWP_CONDITION_FLAG_IS_LOOPBACK));

  EXPECT_EQ(c[1].fieldKey, published(wfp_published::kConditionIpLocalInterface));
  EXPECT_EQ(c[1].matchType, FWP_MATCH_EQUAL);
  EXPECT_EQ(c[1].conditionValue.type, FWP_UINT64);
  ASSERT_NE(c[1].conditionValue.uint64, nullptr);
  EXPECT_EQ(*c[1].conditionValue.uint64, 0x0006000000000007ull);

  EXPECT_EQ(c[2].fieldKey, published(wfp_published::kConditionIpRemoteAddress));
  EXPECT_EQ(c[2].conditionValue.type, FWP_UINT32);
  EXPECT_EQ(c[2].conditionValue.uint32, 0xC6120009u) << "198.18.0.9 in host byte order";

  EXPECT_EQ(c[3].fieldKey, published(wfp_published::kConditionIpProtocol));
  EXPECT_EQ(c[3].conditionValue.type, FWP_UINT8);
  EXPECT_EQ(c[3].conditionValue.uint8, 17);

  EXPECT_EQ(c[4].fieldKey, published(wfp_published::kConditionIpRemotePort));
  EXPECT_EQ(c[4].conditionValue.type, FWP_UINT16);
  EXPECT_EQ(c[4].conditionValue.uint16, 1194);
  EXPECT_EQ(c[5].fieldKey, published(wfp_published::kConditionIpLocalPort));
  EXPECT_EQ(c[5].conditionValue.uint16, 68);

  EXPECT_EQ(c[6].fieldKey, published(wfp_published::kConditionAleAppId));
  EXPECT_EQ(c[6].conditionValue.type, FWP_BYTE_BLOB_TYPE);
  EXPECT_EQ(c[6].conditionValue.byteBlob, &appId);
  EXPECT_EQ(c[7].fieldKey, published(wfp_published::kConditionAleUserId));
  EXPECT_EQ(c[7].conditionValue.type, FWP_SECURITY_DESCRIPTOR_TYPE);
  EXPECT_EQ(c[7].conditionValue.sd, &nlaUser);
  EXPECT_EQ(c[8].fieldKey, published(wfp_published::kConditionIpLocalPort)) << "an ICMP type is the local port";
  EXPECT_EQ(c[8].conditionValue.type, FWP_UINT16);
  EXPECT_EQ(c[8].conditionValue.uint16, 135);
  for (int i = 1; i < 9; ++i) EXPECT_EQ(c[i].matchType, FWP_MATCH_EQUAL) << i;
}

TEST(WfpFilterRecords, FollowAKillSwitchPlanFilterForFilter) {
  KillSwitchRequest request;
  request.proto = "udp";
  request.port = 1194;
  request.dns = true;
  request.addresses = {0xC6120009, 0xC612000A};
  const FilterPlan plan = buildKillSwitchPlan(request, {{11, 12}, true, true});
  FWP_BYTE_BLOB appId{}, nlaUser{};
  const WfpFilterRecords records(plan, kSublayer, {&appId, &nlaUser});
  ASSERT_EQ(records.records().size(), plan.filters.size());
  for (size_t i = 0; i < plan.filters.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& record = records.records()[i];
    EXPECT_EQ(record.layerKey, publishedLayer(plan.filters[i].layer));
    EXPECT_EQ(record.weight.uint8, plan.filters[i].weight);
    EXPECT_EQ(record.numFilterConditions, plan.filters[i].conditions.size());
    EXPECT_EQ(record.action.type, static_cast<FWP_ACTION_TYPE>(plan.filters[i].action == Action::Permit
                                                                   ? FWP_ACTION_PERMIT
                                                                   : FWP_ACTION_BLOCK));
    for (UINT32 j = 0; j < record.numFilterConditions; ++j) {
      if (record.filterCondition[j].conditionValue.type == FWP_UINT64) {
        EXPECT_EQ(*record.filterCondition[j].conditionValue.uint64, plan.filters[i].conditions[j].value)
            << "each LUID stays where its record points";
      }
    }
  }
}

}  // namespace
}  // namespace vlvpn::service
