// "killswitch.txt", the server endpoint the kill switch fences: whatever the
// file holds, what is read writes back and reads the same, and the ENABLE
// request built from it says to the service what the desktop program meant.
#include <string>

#include "desktop/killswitch/killswitch_controller.h"
#include "service/dispatcher.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

bool isOneWord(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c == ' ' || (c >= '\t' && c <= '\r')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const killswitch::ServerEndpoint endpoint = killswitch::parseEndpointFile(fuzz::asText(data, size));
  fuzz::require(killswitch::parseEndpointFile(killswitch::formatEndpointFile(endpoint)) == endpoint,
                "the endpoint written back reads the same");

  const bool allowDns = size % 2 == 0;
  const std::string program = "/opt/velmora/VLVPNDesk";
  const std::string request = killswitch::enableRequest(endpoint, allowDns, program);
  if (request.empty()) {
    fuzz::require(allowDns && endpoint.addresses.empty(), "only DNS with no server address sends nothing");
    return 0;
  }
  fuzz::require(request.starts_with("ENABLE "), "the request is an ENABLE");
  if ((endpoint.proto.empty() || isOneWord(endpoint.proto)) && (endpoint.addresses.empty() || isOneWord(endpoint.addresses))) {
    const auto read = service::parseEnableArguments(std::string_view(request).substr(7));
    fuzz::require(read.port == endpoint.port && read.dns == allowDns && read.exe == program,
                  "the service reads the port, the DNS choice and the program as sent");
  }
  return 0;
}
