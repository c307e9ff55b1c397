#include "service/pipe_name_claim.h"

#include <utility>

namespace vlvpn::service {

std::string PipeNameClaim::heldBy(const std::string& holder) {
  if (holder == holder_) return {};
  holder_ = holder;
  return "the pipe's name is held by another process: " + holder + "; trying again";
}

std::string PipeNameClaim::claimed() {
  if (std::exchange(holder_, {}).empty()) return {};
  return "the pipe's name is the service's now";
}

}  // namespace vlvpn::service
