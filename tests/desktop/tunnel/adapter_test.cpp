#include <gtest/gtest.h>

#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/tap_adapter.h"
#include "desktop/tunnel/traffic_sampler.h"
#include "tests/fakes/fake_adapter_query.h"
#include "tests/support/temp_dir.h"

#include <fstream>

namespace vlvpn::tunnel {
namespace {

AdapterInfo adapter(const char* description, bool up, uint32_t type, uint64_t luid, std::vector<uint32_t> ipv4 = {}) {
  AdapterInfo info;
  if (description) info.description = description;
  info.up = up;
  info.ifType = type;
  info.luid = luid;
  info.ipv4 = std::move(ipv4);
  return info;
}

TEST(AdapterRules, FindTheTapAdapterByDescription) {
  EXPECT_TRUE(isTapDescription("TAP-Windows Adapter V9"));
  EXPECT_TRUE(isTapDescription("tap-windows0"));
  EXPECT_TRUE(isTapDescription("my TAP-WINDOWS6 thing"));
  EXPECT_FALSE(isTapDescription("TAP adapter"));
  EXPECT_FALSE(isTapDescription(std::nullopt));

  const std::vector<AdapterInfo> list = {
      adapter("Intel Ethernet", true, kIfTypeEthernet, 1, {0x0A000005}),
      adapter("TAP-Windows Adapter V9", false, kIfTypeEthernet, 2),
      adapter("TAP-Windows Adapter V9 #2", true, kIfTypeEthernet, 3),
      adapter("tap-windows0", true, 1, 4, {0x0A080002}),
  };
  EXPECT_TRUE(isTapAdapterInstalled(list));
  EXPECT_EQ(findUpTapAdapter(list), 3u) << "the first up one; a disabled one is installed but not up";
  EXPECT_EQ(tapAdapterIpv4Address(list), 0x0A080002u) << "an up TAP adapter without an address is passed over";
  EXPECT_TRUE(isPhysicalLinkUp(list));

  EXPECT_FALSE(isTapAdapterInstalled(std::nullopt));
  EXPECT_FALSE(findUpTapAdapter(std::nullopt));
  EXPECT_TRUE(isPhysicalLinkUp(std::nullopt)) << "a failed listing never reports the network down";
  EXPECT_FALSE(isPhysicalLinkUp(std::vector{adapter("TAP-Windows", true, kIfTypeEthernet, 1),
                                            adapter("Wi-Fi", false, kIfTypeWifi, 2),
                                            adapter("Loopback", true, 24, 3)}));
  EXPECT_TRUE(isPhysicalLinkUp(std::vector{adapter(nullptr, true, kIfTypeWifi, 1)}));
}

TEST(TrafficSampler, ComputesRatesOverIntervalsOfHalfASecondOrMore) {
  TrafficSampler sampler;
  EXPECT_EQ(sampler.sample(7, {1000, 500}, 10'000), (TrafficRates{0, 0})) << "the first sample sets the baseline";
  EXPECT_EQ(sampler.sample(7, {9000, 900}, 10'400), (TrafficRates{0, 0})) << "within 500 ms: previous rates";
  EXPECT_EQ(sampler.sample(7, {3000, 1500}, 12'000), (TrafficRates{1000, 500}));
  EXPECT_EQ(sampler.sample(7, {999999, 999999}, 12'499), (TrafficRates{1000, 500}));
  // The download counter went back: that direction keeps its rate once.
  EXPECT_EQ(sampler.sample(7, {100, 2500}, 13'000), (TrafficRates{1000, 1000}));
  EXPECT_EQ(sampler.sample(7, {600, 2500}, 13'500), (TrafficRates{1000, 0})) << "measured from the new counter";
  EXPECT_EQ(sampler.sample(8, {5000, 5000}, 14'000), (TrafficRates{0, 0})) << "another adapter: new baseline";
  sampler.reset();
  EXPECT_EQ(sampler.sample(8, {9000, 9000}, 20'000), (TrafficRates{0, 0}));
}

TEST(TrafficSampler, AClockReadingOlderThanTheLastTickCountsAsTooSoon) {
  // Two callers: the one that read the clock first may lock second.
  TrafficSampler sampler;
  sampler.sample(7, {0, 0}, 10'000);
  EXPECT_EQ(sampler.sample(7, {2000, 1000}, 11'000), (TrafficRates{2000, 1000}));
  EXPECT_EQ(sampler.sample(7, {2100, 1100}, 10'990), (TrafficRates{2000, 1000})) << "not a wrapped, huge interval";
  EXPECT_EQ(sampler.sample(7, {3000, 2000}, 12'000), (TrafficRates{1000, 1000})) << "measured from the last tick";
}

TEST(TrafficSampler, SamplesTheUpTapAdapterOnly) {
  test::FakeAdapterQuery query;
  TrafficSampler sampler;
  uint64_t now = 1000;
  const auto clock = [&] { return now; };
  EXPECT_EQ(sampleTrafficRates(query, sampler, clock), (TrafficRates{0, 0}));

  query.list = std::vector{adapter("tap-windows0", true, 1, 5)};
  query.counterTable[5] = {0, 0};
  sampleTrafficRates(query, sampler, clock);
  query.counterTable[5] = {2000, 4000};
  now += 2000;
  EXPECT_EQ(sampleTrafficRates(query, sampler, clock), (TrafficRates{1000, 2000}));

  query.counterTable.clear();  // counters unreadable: zeros, sampler untouched
  now += 1000;
  EXPECT_EQ(sampleTrafficRates(query, sampler, clock), (TrafficRates{0, 0}));
  query.counterTable[5] = {5000, 4000};
  EXPECT_EQ(sampleTrafficRates(query, sampler, clock), (TrafficRates{3000, 0})) << "over the second since the last computed sample";
}

struct FakeInstallerProcess : TunnelProcess {
  uint32_t pid() const override { return 1; }
  bool hasEnded() override { return ++asks > 3; }
  bool waitForExit(std::chrono::milliseconds) override { return hasEnded(); }
  int asks = 0;
};

struct FakeElevatedLauncher : ElevatedLauncher {
  std::vector<std::filesystem::path> started;
  uint32_t error = 0;
  std::function<void()> onStart;
  ElevatedLaunch start(const std::filesystem::path& program, const std::string& parameters,
                       const std::vector<std::string>&) override {
    started.push_back(program);
    EXPECT_EQ(parameters, "/S");
    if (onStart) onStart();
    ElevatedLaunch launch;
    launch.error = error;
    if (!error) launch.process = std::make_shared<FakeInstallerProcess>();
    return launch;
  }
};

TEST(TapInstaller, RunsOnlyWhenNoAdapterExists) {
  test::TempDir dir;
  const auto openvpn = dir.path() / "openvpn.exe";
  test::FakeAdapterQuery query;
  FakeElevatedLauncher launcher;
  std::chrono::milliseconds slept{0};
  TapSetup setup{query, launcher, [&](std::chrono::milliseconds d) { slept += d; }};

  EXPECT_FALSE(ensureTapAdapter(setup, openvpn)) << "no adapter and no installer";
  EXPECT_TRUE(launcher.started.empty());

  std::ofstream(dir.path() / "tap-windows.exe") << "x";
  EXPECT_EQ(findTapInstaller(openvpn), dir.path() / "tap-windows.exe");
  EXPECT_EQ(findTapInstaller(dir.path() / "openvpn"), std::filesystem::path{}) << "Linux looks for tap-windows";

  launcher.onStart = [&] { query.list = std::vector{adapter("TAP-Windows Adapter V9", false, 6, 1)}; };
  EXPECT_TRUE(ensureTapAdapter(setup, openvpn));
  EXPECT_EQ(launcher.started, std::vector{dir.path() / "tap-windows.exe"});
  EXPECT_EQ(slept, std::chrono::milliseconds(300)) << "waited for the installer, not for the adapter";

  EXPECT_TRUE(ensureTapAdapter(setup, openvpn)) << "a disabled adapter counts as installed";
  EXPECT_EQ(launcher.started.size(), 1u);

  query.list = std::vector<AdapterInfo>{};
  launcher.onStart = nullptr;
  launcher.error = kErrorCancelled;
  slept = {};
  EXPECT_FALSE(ensureTapAdapter(setup, openvpn)) << "the user declined";
  EXPECT_EQ(slept, std::chrono::milliseconds(0));

  launcher.error = 0;
  EXPECT_FALSE(ensureTapAdapter(setup, openvpn));
  EXPECT_EQ(slept, std::chrono::milliseconds(300 + 12 * 500)) << "polled for 6 s after the installer";
}

TEST(TapAdapterChange, ReportsEachChangeOnce) {
  test::FakeAdapterQuery query;
  std::vector<bool> reported;
  const auto record = [&](bool up) { reported.push_back(up); };
  adapterUpLast = false;
  checkTapAdapterChange(query, record);
  query.list = std::vector{adapter("tap-windows0", true, 1, 5)};
  checkTapAdapterChange(query, record);
  checkTapAdapterChange(query, record);
  query.list = std::vector{adapter("tap-windows0", false, 1, 5)};
  checkTapAdapterChange(query, record);
  EXPECT_EQ(reported, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace vlvpn::tunnel
