// Timing and the figures every benchmark reports.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace vlvpn::bench {

using Clock = std::chrono::steady_clock;

inline double microsecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}
inline double millisecondsSince(Clock::time_point start) { return microsecondsSince(start) / 1000.0; }

// The value below which `fraction` of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[index];
}
inline double median(const std::vector<double>& samples) { return percentile(samples, 0.5); }

// Resident memory of a process in KiB (VmRSS), 0 when unknown.
long residentKib(int pid);

}  // namespace vlvpn::bench
