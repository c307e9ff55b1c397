// The one call the Linux kill-switch engine makes: an nftables script run as
// one batch, which the kernel applies whole or not at all. Behind a port so
// tests can fail a batch.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service/filter_engine.h"

namespace vlvpn::service {

class NftablesRunner {
 public:
  virtual ~NftablesRunner() = default;
  // 0, or an errno-style code (EPERM when nftables gave none); a failed
  // batch changed nothing.
  virtual uint32_t run(const std::string& script) = 0;

  // One libnftables context for the life of the runner. Its netlink socket
  // owns the tables it makes ("flags owner"), so the kernel removes them
  // when the runner's process ends, however it ends.
  static std::unique_ptr<NftablesRunner> create();
};

std::unique_ptr<FilterEngine> createNftablesEngine(std::unique_ptr<NftablesRunner> runner);

}  // namespace vlvpn::service
