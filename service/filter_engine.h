// Installs and removes the two filter sets. Each set lives exactly as long as
// the engine's hold on it: removing it, or the end of the service process
// (however it ends), takes every filter of the set away, so nothing outlives
// the service and nothing needs cleaning up at start. Replacing a set is one
// step that either puts the new set in force or leaves the old one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "service/dispatcher.h"
#include "service/filter_plan.h"

namespace vlvpn::service {

class FilterEngine {
 public:
  virtual ~FilterEngine() = default;

  // Puts the set for `request` in force in one step, replacing the kill
  // switch that was on, if any. 0 on success, else the failing call's code,
  // and then nothing changed: the set that was on stays on.
  virtual uint32_t enableKillSwitch(const KillSwitchRequest& request) = 0;
  virtual void disableKillSwitch() = 0;
  // The same for the IPv6 block.
  virtual uint32_t blockIpv6() = 0;
  virtual void unblockIpv6() = 0;

  // Whether each set is in force now.
  virtual bool killSwitchOn() const = 0;
  virtual bool ipv6BlockOn() const = 0;

  // Per platform. Both sets let through the OpenVPN the service starts from
  // one of `openVpnExecutables` (Windows; Linux tells it by its packet mark).
  static std::unique_ptr<FilterEngine> create(const std::vector<std::filesystem::path>& openVpnExecutables);
};

// The interfaces whose description contains "tap-windows" (without regard to
// case), as LUIDs in the order the system lists them. Linux: the interface
// name is the description and the ifindex the LUID.
std::vector<uint64_t> findTapAdapters();

}  // namespace vlvpn::service
