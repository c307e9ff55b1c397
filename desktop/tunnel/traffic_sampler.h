// Download and upload rates of the tunnel adapter, from its byte counters.
// A rate is the plain difference over the interval since the previous
// computed sample; samples closer than 500 ms give the previous rates again.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::tunnel {

struct TrafficRates {
  double downBps = 0;
  double upBps = 0;
  friend bool operator==(const TrafficRates&, const TrafficRates&) = default;
};

inline constexpr uint64_t kMinSampleIntervalMs = 500;

class TrafficSampler {
 public:
  // The first sample of an adapter only sets the baseline and gives 0 and 0.
  // A counter that went back keeps that direction's previous rate once.
  TrafficRates sample(uint64_t luid, const InterfaceCounters& counters, uint64_t nowMs);
  void reset();

 private:
  std::mutex mutex_;
  bool haveSample_ = false;
  uint64_t lastLuid_ = 0;
  InterfaceCounters last_;
  uint64_t lastTickMs_ = 0;
  TrafficRates lastRates_;
};

// The up TAP adapter's rates, or 0 and 0 (and a reset) when there is none;
// 0 and 0 with the sampler untouched when its counters cannot be read.
TrafficRates sampleTrafficRates(AdapterQuery& query, TrafficSampler& sampler, const std::function<uint64_t()>& nowMs);
// The same from an adapter and its counters already read, so a caller that
// needs them too asks the system once.
TrafficRates sampleTrafficRates(std::optional<uint64_t> tapLuid, const std::optional<InterfaceCounters>& counters,
                                TrafficSampler& sampler, uint64_t nowMs);

// A rate as the interface shows it: truncated to whole bytes per second,
// kept a floating-point number.
inline double wholeBytesPerSecond(double rate) { return static_cast<double>(static_cast<uint64_t>(rate)); }

// Milliseconds of a monotonic clock.
uint64_t tickMs();

}  // namespace vlvpn::tunnel
