// What the log says while another process holds the name of the service's
// pipe: who holds it, once for each holder, and when the name is the
// service's at last, so a squatter is neither missed nor logged every second.
#pragma once

#include <string>

namespace vlvpn::service {

class PipeNameClaim {
 public:
  // The line to log on finding `holder` ("pid N (path)") holding the name;
  // "" when this holder was the last one named.
  std::string heldBy(const std::string& holder);
  // The line to log once the service holds the name; "" when no one else
  // was found holding it since the last call.
  std::string claimed();

 private:
  std::string holder_;
};

}  // namespace vlvpn::service
