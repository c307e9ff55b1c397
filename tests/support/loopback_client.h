// What a browser does at a loopback address in the sign-in tests: one
// request, then the whole answer until the server closes.
#pragma once

#include <cstdint>
#include <string>

namespace vlvpn::test {

// The bytes 127.0.0.1:`port` answered to `request`; "no connection" when
// none could be made.
std::string requestFromLoopback(uint16_t port, const std::string& request);  // per platform

}  // namespace vlvpn::test
