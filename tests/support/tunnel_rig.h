// The tunnel's ports wired to fakes: a fake OpenVPN behind the management
// port, a fake kill-switch service, a TAP adapter the test brings up and
// down, a fake clock, and the real profile store and kill-switch controller
// on a temporary data folder. Background work runs inline; the monitor's
// thread is real but waits only milliseconds.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "desktop/tunnel/tunnel_ports.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_elevated_launcher.h"
#include "tests/fakes/fake_killswitch_service.h"
#include "tests/fakes/fake_management.h"
#include "tests/fakes/fake_network_probe.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::test {

inline constexpr uint64_t kTapLuid = 77;

// Waits (for real, at most two seconds) until `done` holds, for what another
// thread does.
template <class Predicate>
bool eventually(Predicate done) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

// A TAP adapter (installed unless the test says not) and one Ethernet link.
class SharedAdapters : public tunnel::AdapterQuery {
 public:
  void setTapInstalled(bool installed) {
    std::lock_guard lock(mutex_);
    tapInstalled_ = installed;
  }
  void setTapUp(bool up) {
    std::lock_guard lock(mutex_);
    tapUp_ = up;
  }
  void setCounters(uint64_t in, uint64_t out) {
    std::lock_guard lock(mutex_);
    counters_ = {in, out};
  }
  int listings() {
    std::lock_guard lock(mutex_);
    return listings_;
  }

  std::optional<std::vector<tunnel::AdapterInfo>> adapters() override {
    std::lock_guard lock(mutex_);
    ++listings_;
    std::vector<tunnel::AdapterInfo> list;
    list.push_back({"Intel(R) Ethernet", true, tunnel::kIfTypeEthernet, 5, {0x0A000002}});
    if (tapInstalled_) list.push_back({"TAP-Windows Adapter V9", tapUp_, tunnel::kIfTypeEthernet, kTapLuid, {0x0A080002}});
    return list;
  }
  // What ipv4Adapters() lists instead of the full list.
  void setIpv4Listing(std::optional<std::vector<tunnel::AdapterInfo>> listing) {
    std::lock_guard lock(mutex_);
    ipv4Listing_ = std::move(listing);
  }
  std::optional<std::vector<tunnel::AdapterInfo>> ipv4Adapters() override {
    {
      std::lock_guard lock(mutex_);
      if (ipv4Listing_) return ipv4Listing_;
    }
    return adapters();
  }
  std::optional<tunnel::InterfaceCounters> counters(uint64_t luid) override {
    std::lock_guard lock(mutex_);
    if (luid != kTapLuid || !tapInstalled_) return std::nullopt;
    return counters_;
  }

 private:
  std::mutex mutex_;
  bool tapInstalled_ = true;
  bool tapUp_ = false;
  tunnel::InterfaceCounters counters_;
  int listings_ = 0;
  std::optional<std::vector<tunnel::AdapterInfo>> ipv4Listing_;
};

class TunnelRig {
 public:
  TunnelRig();
  ~TunnelRig();
  TunnelRig(const TunnelRig&) = delete;
  TunnelRig& operator=(const TunnelRig&) = delete;

  // Saves a profile with `content` as "<id>.ovpn" and returns its folder.
  std::filesystem::path saveProfile(const std::string& id, const std::string& content);
  std::filesystem::path dataFolder() const { return base.path() / "VLVPNDesk"; }
  bool dataFileExists(const std::string& name) const { return std::filesystem::exists(dataFolder() / name); }
  std::string dataFile(const std::string& name) const;
  tunnel::TunnelSession sessionCopy();  // the fields that copy; handles as given
  // Waits (for real, briefly) until the session's state is `state`.
  bool waitForState(const std::string& state);

  TempDir base;
  FakeOpenVpn openVpn;
  FakeKillSwitchService service{openVpn};
  FakeClock clock;
  std::shared_ptr<SharedAdapters> adapters = std::make_shared<SharedAdapters>();
  std::shared_ptr<FakeNetworkProbe> network = std::make_shared<FakeNetworkProbe>();
  std::shared_ptr<FakeElevatedLauncher> elevated = std::make_shared<FakeElevatedLauncher>();
  std::filesystem::path openVpnPath = std::filesystem::path("/opt/velmora") / "openvpn" / "openvpn";
  std::optional<uint32_t> runningOpenVpnPid;  // what a process lookup finds
  std::optional<uint32_t> listenerOwner;       // the management listener's process; unset: whoever is expected
  tunnel::TunnelPorts ports;
};

}  // namespace vlvpn::test
