// Names, echoes and TCP answers as the test sets them.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/tunnel/network_probe.h"

namespace vlvpn::test {

struct FakeNetworkProbe : tunnel::NetworkProbe {
  std::map<std::string, std::vector<uint32_t>> names;
  tunnel::IcmpOutcome icmp{tunnel::IcmpOutcome::Kind::NoReply};
  std::map<uint16_t, std::chrono::milliseconds> answeringPorts;
  std::vector<std::string> calls;
  int resolutions = 0;

  std::vector<uint32_t> resolveIpv4(const std::string& host) override {
    std::lock_guard lock(mutex);
    ++resolutions;
    return names[host];
  }
  tunnel::IcmpOutcome echo(std::optional<uint32_t> source, uint32_t destination,
                           std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex);
    calls.push_back("echo " + std::to_string(source.value_or(0)) + ">" + std::to_string(destination) + " " +
                    std::to_string(timeout.count()));
    return icmp;
  }
  std::optional<std::chrono::milliseconds> tcpAnswerTime(uint32_t, uint16_t port,
                                                         std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex);
    calls.push_back("tcp " + std::to_string(port) + " " + std::to_string(timeout.count()));
    const auto found = answeringPorts.find(port);
    if (found == answeringPorts.end()) return std::nullopt;
    return found->second;
  }

  std::mutex mutex;
};

}  // namespace vlvpn::test
