#include "desktop/tunnel/traffic_sampler.h"

#include <chrono>

namespace vlvpn::tunnel {
namespace {

double rate(uint64_t now, uint64_t before, double seconds, double previous) {
  return now < before ? previous : static_cast<double>(now - before) / seconds;
}

}  // namespace

TrafficRates TrafficSampler::sample(uint64_t luid, const InterfaceCounters& counters, uint64_t nowMs) {
  std::lock_guard lock(mutex_);
  if (!haveSample_ || luid != lastLuid_) {
    haveSample_ = true;
    lastLuid_ = luid;
    last_ = counters;
    lastRates_ = {};
    lastTickMs_ = nowMs;
    return {};
  }
  // A reading older than the last tick (a concurrent caller read the clock
  // first and locked second) counts as too soon, never as a huge interval.
  if (nowMs < lastTickMs_ || nowMs - lastTickMs_ < kMinSampleIntervalMs) return lastRates_;
  const double seconds = static_cast<double>(nowMs - lastTickMs_) / 1000.0;
  lastRates_.downBps = rate(counters.inOctets, last_.inOctets, seconds, lastRates_.downBps);
  lastRates_.upBps = rate(counters.outOctets, last_.outOctets, seconds, lastRates_.upBps);
  last_ = counters;
  lastTickMs_ = nowMs;
  return lastRates_;
}

void TrafficSampler::reset() {
  std::lock_guard lock(mutex_);
  haveSample_ = false;
  lastTickMs_ = 0;
  lastRates_ = {};
}

TrafficRates sampleTrafficRates(AdapterQuery& query, TrafficSampler& sampler, const std::function<uint64_t()>& nowMs) {
  const auto luid = findUpTapAdapter(query.adapters());
  const auto counters = luid ? query.counters(*luid) : std::nullopt;
  return sampleTrafficRates(luid, counters, sampler, counters ? nowMs() : 0);
}

TrafficRates sampleTrafficRates(std::optional<uint64_t> tapLuid, const std::optional<InterfaceCounters>& counters,
                                TrafficSampler& sampler, uint64_t nowMs) {
  if (!tapLuid) {
    sampler.reset();
    return {};
  }
  if (!counters) return {};
  return sampler.sample(*tapLuid, *counters, nowMs);
}

uint64_t tickMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace vlvpn::tunnel
