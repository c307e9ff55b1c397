#include "tests/support/wfp_arbitration_win32.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

namespace vlvpn::test {
namespace {

namespace published = wfp_published;

bool same(const GUID& guid, const char* text) { return IsEqualGUID(guid, guidFromText(text)); }

std::string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool isIpv6Layer(const char* layer) {
  const std::string_view text = layer;
  return text == published::kLayerAleAuthConnectV6 || text == published::kLayerAleAuthRecvAcceptV6;
}

// Whether one condition holds for the flow; problems for what the model cannot read.
bool holds(const CapturedCondition& c, const Flow& flow, std::vector<std::string>& problems) {
  const auto equalNumber = [&](FWP_DATA_TYPE type, uint64_t value) {
    if (c.match != FWP_MATCH_EQUAL || c.type != type) {
      problems.push_back("match or value type " + std::to_string(c.match) + "/" + std::to_string(c.type) + " for " +
                         guidText(c.field));
      return false;
    }
    return c.number == value;
  };
  if (same(c.field, published::kConditionFlags)) {
    if (c.match != FWP_MATCH_FLAGS_ALL_SET || c.type != FWP_UINT32) {
      problems.push_back("flags condition not matched as all-set UINT32");
      return false;
    }
    const uint64_t flags = flow.loopback ? published::kConditionFlagIsLoopback : 0;
    return (flags & c.number) == c.number;
  }
  if (same(c.field, published::kConditionIpLocalInterface)) return equalNumber(FWP_UINT64, flow.interfaceLuid);
  if (same(c.field, published::kConditionIpRemoteAddress)) {
    // An IPv6 layer carries a 16-byte address: a 32-bit value never equals it.
    if (isIpv6Layer(flow.layer)) return false;
    return equalNumber(FWP_UINT32, flow.remoteV4);
  }
  if (same(c.field, published::kConditionIpProtocol)) return equalNumber(FWP_UINT8, flow.protocol);
  if (same(c.field, published::kConditionIpRemotePort)) return equalNumber(FWP_UINT16, flow.remotePort);
  if (same(c.field, published::kConditionIpLocalPort)) return equalNumber(FWP_UINT16, flow.localPort);
  if (same(c.field, published::kConditionAleAppId)) {
    if (c.match != FWP_MATCH_EQUAL || c.type != FWP_BYTE_BLOB_TYPE) problems.push_back("application identifier type");
    return !c.bytes.empty() && c.bytes == flow.appId;
  }
  if (same(c.field, published::kConditionAleUserId)) {
    // The platform checks the account against the descriptor; the model
    // takes a flow whose account is named by exactly these bytes.
    if (c.match != FWP_MATCH_EQUAL || c.type != FWP_SECURITY_DESCRIPTOR_TYPE) problems.push_back("user condition type");
    return !c.bytes.empty() && c.bytes == flow.user;
  }
  problems.push_back("unknown condition " + guidText(c.field));
  return false;
}

struct Decision {
  Verdict verdict;
  bool hard;
};

// The decision of one sublayer: its matching filter of highest weight.
std::optional<Decision> decide(const CapturedSublayer& sublayer, const std::vector<CapturedFilter>& filters,
                               const Flow& flow, std::vector<std::string>& problems) {
  const CapturedFilter* winner = nullptr;
  for (const auto& filter : filters) {
    if (!IsEqualGUID(filter.sublayer, sublayer.key) || !same(filter.layer, flow.layer)) continue;
    if (!std::all_of(filter.conditions.begin(), filter.conditions.end(),
                     [&](const CapturedCondition& c) { return holds(c, flow, problems); })) {
      continue;
    }
    if (winner && winner->weight == filter.weight && winner->action != filter.action) {
      problems.push_back("a block and a permit of equal weight both match: the platform's order is undefined");
    }
    if (!winner || filter.weight > winner->weight) winner = &filter;
  }
  if (!winner) return std::nullopt;
  if (winner->action == FWP_ACTION_BLOCK) return Decision{Verdict::Block, true};
  if (winner->action == FWP_ACTION_PERMIT) {
    return Decision{Verdict::Permit, (winner->flags & published::kFilterFlagClearActionRight) != 0};
  }
  problems.push_back("an action that is neither block nor permit");
  return std::nullopt;
}

}  // namespace

GUID guidFromText(const char* text) {
  GUID guid{};
  unsigned long data1 = 0;
  unsigned data2 = 0, data3 = 0, bytes[8] = {};
  std::sscanf(text, "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2, &data3, &bytes[0], &bytes[1], &bytes[2],
              &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7]);
  guid.Data1 = data1;
  guid.Data2 = static_cast<unsigned short>(data2);
  guid.Data3 = static_cast<unsigned short>(data3);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(bytes[i]);
  return guid;
}

Arbitration arbitrate(const std::vector<CapturedSublayer>& sublayers, const std::vector<CapturedFilter>& filters,
                      const Flow& flow) {
  Arbitration result;
  for (const auto& filter : filters) {
    if (!std::any_of(sublayers.begin(), sublayers.end(),
                     [&](const CapturedSublayer& s) { return IsEqualGUID(s.key, filter.sublayer); })) {
      result.problems.push_back("a filter in a sublayer that was never added");
    }
  }
  std::vector<CapturedSublayer> ordered = sublayers;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const CapturedSublayer& a, const CapturedSublayer& b) { return a.weight > b.weight; });
  std::optional<Decision> current;
  for (const auto& sublayer : ordered) {
    const auto decision = decide(sublayer, filters, flow, result.problems);
    if (!decision) continue;
    if (current && current->hard) break;  // a block, or a hard permit: nothing below changes it
    current = decision;
  }
  result.verdict = current ? current->verdict : Verdict::Permit;
  return result;
}

}  // namespace vlvpn::test
