#include "service/filter_plan.h"

#include "common/text.h"

namespace vlvpn::service {
namespace {

using Field = Condition::Field;

constexpr Layer kAllLayers[] = {Layer::ConnectV4, Layer::ConnectV6, Layer::RecvAcceptV4, Layer::RecvAcceptV6};
constexpr Layer kV6Layers[] = {Layer::ConnectV6, Layer::RecvAcceptV6};
constexpr Layer kConnectLayers[] = {Layer::ConnectV4, Layer::ConnectV6};

constexpr uint8_t kBlockWeight = 1;
constexpr uint8_t kLoopbackWeight = 14;
constexpr uint8_t kOpenVpnWeight = 13;
constexpr uint8_t kAppWeight = 12;
constexpr uint8_t kServerWeight = 11;
constexpr uint8_t kAdapterWeight = 10;
constexpr uint8_t kBasicServiceWeight = 9;  // DHCP, neighbour discovery
constexpr uint8_t kDnsWeight = 8;
constexpr uint8_t kNlaProbeWeight = 7;

class PlanBuilder {
 public:
  explicit PlanBuilder(FilterSet set) { plan_.set = set; }

  void add(std::span<const Layer> layers, std::vector<Condition> conditions, Action action, uint8_t weight) {
    for (Layer layer : layers) plan_.filters.push_back({layer, conditions, action, weight});
  }
  void add(Layer layer, std::vector<Condition> conditions, Action action, uint8_t weight) {
    plan_.filters.push_back({layer, std::move(conditions), action, weight});
  }
  void markRequired() { plan_.required = plan_.filters.size(); }
  FilterPlan take() { return std::move(plan_); }

 private:
  FilterPlan plan_;
};

// The service's OpenVPN on the given layers: by its mark where the platform
// has one (outgoing only: replies belong to the flow it opened), else by
// each executable together with the service's account.
void addOpenVpnRows(PlanBuilder& plan, const OpenVpnIdentity& openVpn, std::span<const Layer> layers) {
  if (openVpn.mark) {
    for (Layer layer : layers) {
      if (layer == Layer::ConnectV4 || layer == Layer::ConnectV6) {
        plan.add(layer, {{Field::OpenVpnMark, *openVpn.mark}}, Action::Permit, kOpenVpnWeight);
      }
    }
  }
  if (!openVpn.haveServiceUser) return;  // the executable alone would let any user's copy of it out
  for (size_t index = 0; index < openVpn.appIds; ++index) {
    plan.add(layers, {{Field::OpenVpnAppId, index}, {Field::ServiceUser}}, Action::Permit, kOpenVpnWeight);
  }
}

// Without neighbour discovery no IPv6 address on the link can be reached at
// all, the VPN server's included.
void addNeighbourDiscoveryRows(PlanBuilder& plan) {
  for (uint8_t type : kNeighbourDiscoveryTypes) {
    plan.add(kV6Layers, {{Field::Protocol, kProtocolIcmpv6}, {Field::IcmpType, type}}, Action::Permit,
             kBasicServiceWeight);
  }
}

}  // namespace

uint8_t protocolNumber(std::string_view proto) {
  const std::string lower = asciiLower(proto);
  if (lower == "udp") return kProtocolUdp;
  if (lower == "tcp") return kProtocolTcp;
  return 0;
}

FilterPlan buildKillSwitchPlan(const KillSwitchRequest& request, const KillSwitchContext& context) {
  PlanBuilder plan(FilterSet::KillSwitch);
  plan.add(kAllLayers, {}, Action::Block, kBlockWeight);
  plan.markRequired();

  plan.add(kAllLayers, {{Field::Loopback}}, Action::Permit, kLoopbackWeight);
  for (uint64_t luid : context.tapLuids) {
    plan.add(kAllLayers, {{Field::LocalInterface, luid}}, Action::Permit, kAdapterWeight);
  }

  const uint8_t protocol = protocolNumber(request.proto);
  for (uint32_t address : request.addresses) {
    std::vector<Condition> server{{Field::RemoteAddress, address}};
    if (protocol != 0) server.push_back({Field::Protocol, protocol});
    if (request.port >= 1) server.push_back({Field::RemotePort, static_cast<uint16_t>(request.port)});
    plan.add(Layer::ConnectV4, server, Action::Permit, kServerWeight);
    plan.add(Layer::RecvAcceptV4, server, Action::Permit, kServerWeight);
  }

  if (context.haveAppId) plan.add(kAllLayers, {{Field::AppId}}, Action::Permit, kAppWeight);
  addOpenVpnRows(plan, context.openVpn, kAllLayers);

  // DHCP between the client's port and the servers' only: a port-67 rule
  // alone would let any program send anything to any address on it, and a
  // port-68 one let any host reach whatever listens there.
  const std::vector<Condition> dhcp{{Field::Protocol, kProtocolUdp}, {Field::LocalPort, 68}, {Field::RemotePort, 67}};
  plan.add(Layer::ConnectV4, dhcp, Action::Permit, kBasicServiceWeight);
  plan.add(Layer::RecvAcceptV4, dhcp, Action::Permit, kBasicServiceWeight);
  addNeighbourDiscoveryRows(plan);

  if (request.dns) {
    // Queries out only: their answers belong to the flow the query opened,
    // and an inbound rule for port 53 would let any host that sends from
    // that port reach every service listening here.
    for (uint8_t protocol : {kProtocolUdp, kProtocolTcp}) {
      plan.add(kConnectLayers, {{Field::Protocol, protocol}, {Field::RemotePort, 53}}, Action::Permit, kDnsWeight);
    }
    if (context.haveNlaUser) {
      for (uint16_t port : {80, 443}) {
        for (Layer layer : {Layer::ConnectV4, Layer::ConnectV6}) {
          plan.add(layer, {{Field::NlaUser}, {Field::Protocol, kProtocolTcp}, {Field::RemotePort, port}},
                   Action::Permit, kNlaProbeWeight);
        }
      }
    }
  }
  return plan.take();
}

FilterPlan buildIpv6BlockPlan(std::span<const uint64_t> tapLuids, const OpenVpnIdentity& openVpn) {
  PlanBuilder plan(FilterSet::Ipv6Block);
  plan.add(kV6Layers, {}, Action::Block, kBlockWeight);
  plan.markRequired();
  plan.add(kV6Layers, {{Field::Loopback}}, Action::Permit, kLoopbackWeight);
  addOpenVpnRows(plan, openVpn, kV6Layers);
  for (uint64_t luid : tapLuids) plan.add(kV6Layers, {{Field::LocalInterface, luid}}, Action::Permit, kAdapterWeight);
  addNeighbourDiscoveryRows(plan);
  return plan.take();
}

}  // namespace vlvpn::service
