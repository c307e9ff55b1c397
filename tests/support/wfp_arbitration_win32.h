// A model of how the filtering platform decides a connection, for tests:
// it reads the filter records an engine handed over and arbitrates as the
// platform documents it.
//
// - A layer's sublayers are evaluated from the highest weight down (sublayers
//   of equal weight in the order given: the platform leaves it undocumented).
// - In each sublayer, the matching filter of the highest weight decides.
// - Block is final; a permit is soft and a later sublayer's block overrides
//   it, unless the permit is hard (FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT), which
//   only a callout's veto could override (the model has no callouts).
// - Nothing matching anywhere permits.
//
// Conditions are matched by the platform's published identifiers, written
// out here as text: a record that uses any other identifier is reported,
// never silently taken as matching or not.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fakes/fake_wfp_platform_win32.h"

namespace vlvpn::test {

// "{c38d57d1-05a7-4c33-904f-7fbceee60e82}" as a GUID.
GUID guidFromText(const char* text);

// The published identifiers the model knows.
namespace wfp_published {
inline constexpr const char* kLayerAleAuthConnectV4 = "{c38d57d1-05a7-4c33-904f-7fbceee60e82}";
inline constexpr const char* kLayerAleAuthConnectV6 = "{4a72393b-319f-44bc-84c3-ba54dcb3b6b4}";
inline constexpr const char* kLayerAleAuthRecvAcceptV4 = "{e1cd9fe7-f4b5-4273-96c0-592e487b8650}";
inline constexpr const char* kLayerAleAuthRecvAcceptV6 = "{a3b42c97-9f04-4672-b87e-cee9c483257f}";
inline constexpr const char* kConditionFlags = "{632ce23b-5167-435c-86d7-e903684aa80c}";
inline constexpr const char* kConditionIpLocalInterface = "{4cd62a49-59c3-4969-b7f3-bda5d32890a4}";
inline constexpr const char* kConditionIpRemoteAddress = "{b235ae9a-1d64-49b8-a44c-5ff3d9095045}";
inline constexpr const char* kConditionIpProtocol = "{3971ef2b-623e-4f9a-8cb1-6e79b806b9a7}";
inline constexpr const char* kConditionIpRemotePort = "{c35a604d-d22b-4e1a-91b4-68f674ee674b}";
inline constexpr const char* kConditionIpLocalPort = "{0c1ba1af-5765-453f-af22-a8f791ac775b}";
inline constexpr const char* kConditionAleAppId = "{d78e1e87-8644-4ea5-9437-d809ecefc971}";
inline constexpr const char* kConditionAleUserId = "{af043a0a-b34d-4f86-979c-c90371af6e66}";
inline constexpr UINT32 kFilterFlagClearActionRight = 0x00000008;  // FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT
inline constexpr UINT32 kConditionFlagIsLoopback = 0x00000001;     // FWP_CONDITION_FLAG_IS_LOOPBACK
}  // namespace wfp_published

// One connection as the connection-authorisation layers see it. On these
// layers an ICMP message's type is its local port and its code the remote
// port.
struct Flow {
  const char* layer = wfp_published::kLayerAleAuthConnectV4;
  bool loopback = false;
  uint64_t interfaceLuid = 0;
  uint32_t remoteV4 = 0;  // host byte order; 0 on IPv6 layers
  uint8_t protocol = 0;
  uint16_t remotePort = 0;
  uint16_t localPort = 0;
  std::vector<uint8_t> appId;
  std::vector<uint8_t> user;  // the account, as the descriptor bytes a filter would name
};

enum class Verdict { Permit, Block };

struct Arbitration {
  Verdict verdict = Verdict::Permit;
  std::vector<std::string> problems;  // identifiers or value types the model does not know
};

Arbitration arbitrate(const std::vector<CapturedSublayer>& sublayers, const std::vector<CapturedFilter>& filters,
                      const Flow& flow);

}  // namespace vlvpn::test
