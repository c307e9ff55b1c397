#include "service/wfp_filter_records_win32.h"

#include "common/win32/mingw_compat.h"

namespace vlvpn::service {
namespace {

namespace compat = win32compat;

// The application an identifier names, and the account a descriptor matches.
void matchApplication(FWPM_FILTER_CONDITION0& c, FWP_BYTE_BLOB* appId) {
  c.fieldKey = compat::kConditionAleAppId;
  c.conditionValue.type = FWP_BYTE_BLOB_TYPE;
  c.conditionValue.byteBlob = appId;
}
void matchUser(FWPM_FILTER_CONDITION0& c, FWP_BYTE_BLOB* descriptor) {
  c.fieldKey = compat::kConditionAleUserId;
  c.conditionValue.type = FWP_SECURITY_DESCRIPTOR_TYPE;
  c.conditionValue.sd = descriptor;
}

FWPM_FILTER_CONDITION0 conditionRecord(const Condition& condition, const WfpConditionData& data,
                                       std::deque<UINT64>& luids) {
  FWPM_FILTER_CONDITION0 c{};
  c.matchType = FWP_MATCH_EQUAL;
  switch (condition.field) {
    case Condition::Field::Loopback:
      c.fieldKey = compat::kConditionFlags;
      c.matchType = FWP_MATCH_FLAGS_ALL_SET;
      c.conditionValue.type = FWP_UINT32;
      c.conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
      break;
    case Condition::Field::LocalInterface:
      luids.push_back(condition.value);
      c.fieldKey = compat::kConditionIpLocalInterface;
      c.conditionValue.type = FWP_UINT64;
      c.conditionValue.uint64 = &luids.back();
      break;
    case Condition::Field::RemoteAddress:
      // IPv4 addresses go in host byte order, as the plan holds them.
      c.fieldKey = compat::kConditionIpRemoteAddress;
      c.conditionValue.type = FWP_UINT32;
      c.conditionValue.uint32 = static_cast<UINT32>(condition.value);
      break;
    case Condition::Field::Protocol:
      c.fieldKey = compat::kConditionIpProtocol;
      c.conditionValue.type = FWP_UINT8;
      c.conditionValue.uint8 = static_cast<UINT8>(condition.value);
      break;
    case Condition::Field::RemotePort:
      c.fieldKey = compat::kConditionIpRemotePort;
      c.conditionValue.type = FWP_UINT16;
      c.conditionValue.uint16 = static_cast<UINT16>(condition.value);
      break;
    case Condition::Field::LocalPort:
      c.fieldKey = compat::kConditionIpLocalPort;
      c.conditionValue.type = FWP_UINT16;
      c.conditionValue.uint16 = static_cast<UINT16>(condition.value);
      break;
    case Condition::Field::IcmpType:
      // The connection-authorisation layers carry an ICMP message's type
      // in the local-port field.
      c.fieldKey = compat::kConditionIpLocalPort;
      c.conditionValue.type = FWP_UINT16;
      c.conditionValue.uint16 = static_cast<UINT16>(condition.value);
      break;
    case Condition::Field::AppId:
      matchApplication(c, data.appId);
      break;
    case Condition::Field::NlaUser:
      matchUser(c, data.nlaUser);
      break;
    case Condition::Field::OpenVpnAppId:
      matchApplication(c, condition.value < data.openVpnAppIds.size() ? data.openVpnAppIds[condition.value] : nullptr);
      break;
    case Condition::Field::ServiceUser:
      matchUser(c, data.serviceUser);
      break;
    case Condition::Field::OpenVpnMark:
      // No such field on this platform; plans for it carry no mark. Matching
      // nothing is the safe reading.
      c.fieldKey = compat::kConditionIpProtocol;
      c.conditionValue.type = FWP_UINT8;
      c.conditionValue.uint8 = 255;
      break;
  }
  return c;
}

}  // namespace

const wchar_t kWfpFilterName[] = L"VLVPN Kill Switch";

namespace {

constexpr GUID kKillSwitchSublayer = {0x3b1f9e42, 0x7c8a, 0x4d6e, {0x9f, 0x11, 0xb0, 0x12, 0x34, 0x56, 0x78, 0x9a}};
constexpr GUID kIpv6BlockSublayer = {0x3b1f9e42, 0x7c8a, 0x4d6e, {0x9f, 0x11, 0xb0, 0x12, 0x34, 0x56, 0x78, 0x9b}};

}  // namespace

WfpSublayerRecord::WfpSublayerRecord(FilterSet set) {
  const bool killSwitch = set == FilterSet::KillSwitch;
  record_.subLayerKey = killSwitch ? kKillSwitchSublayer : kIpv6BlockSublayer;
  record_.displayData.name = const_cast<wchar_t*>(killSwitch ? L"VLVPN Kill Switch" : L"VLVPN IPv6 Block");
  record_.weight = killSwitch ? 0xFFFF : 0xFFFE;
}

const GUID& wfpLayerKey(Layer layer) {
  switch (layer) {
    case Layer::ConnectV4:
      return compat::kLayerAleAuthConnectV4;
    case Layer::ConnectV6:
      return compat::kLayerAleAuthConnectV6;
    case Layer::RecvAcceptV4:
      return compat::kLayerAleAuthRecvAcceptV4;
    case Layer::RecvAcceptV6:
      return compat::kLayerAleAuthRecvAcceptV6;
  }
  return compat::kLayerAleAuthConnectV4;
}

WfpFilterRecords::WfpFilterRecords(const FilterPlan& plan, const GUID& sublayer, const WfpConditionData& data) {
  conditions_.reserve(plan.filters.size());  // records point into these vectors
  for (const Filter& filter : plan.filters) {
    auto& conditions = conditions_.emplace_back();
    for (const Condition& condition : filter.conditions) conditions.push_back(conditionRecord(condition, data, luids_));

    FWPM_FILTER0 record{};
    record.displayData.name = const_cast<wchar_t*>(kWfpFilterName);
    record.layerKey = wfpLayerKey(filter.layer);
    record.subLayerKey = sublayer;
    record.weight.type = FWP_UINT8;
    record.weight.uint8 = filter.weight;
    record.numFilterConditions = static_cast<UINT32>(conditions.size());
    record.filterCondition = conditions.empty() ? nullptr : conditions.data();
    record.action.type = filter.action == Action::Permit ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
    records_.push_back(record);
  }
}

}  // namespace vlvpn::service
