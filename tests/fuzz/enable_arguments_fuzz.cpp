// The words after "ENABLE": what is read is well formed, and a request
// written back from what was read reads back the same, so nothing a client
// sends means one thing to the service now and another on a second reading.
#include <string>

#include "common/ipv4.h"
#include "service/dispatcher.h"
#include "service/request_text.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

bool hasSpace(std::string_view text) { return text.find_first_of(" \t\r\n\v\f") != std::string_view::npos; }

std::string formatRequest(const service::KillSwitchRequest& request) {
  std::string list;
  for (const uint32_t address : request.addresses) {
    if (!list.empty()) list += ',';
    list += formatIpv4(address);
  }
  std::string text = request.proto;
  text.append(" ").append(std::to_string(request.port)).append(request.dns ? " 1 " : " 0 ");
  text.append(list.empty() ? "none" : list).append(" ").append(request.exe);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const service::KillSwitchRequest request = service::parseEnableArguments(fuzz::asText(data, size));
  fuzz::require(!hasSpace(request.proto), "the protocol is one word");
  fuzz::require(service::trimSpace(request.exe) == request.exe, "the program path has no surrounding white space");
  fuzz::require(request.exe.find('\n') == std::string::npos, "the program path is on the request's line");
  for (const uint32_t address : request.addresses) {
    fuzz::require(parseIpv4(formatIpv4(address)) == address, "each address is a plain IPv4 address");
  }
  if (!request.proto.empty() && !request.exe.empty()) {
    // Every word was there, so the request can be written again.
    fuzz::require(service::parseEnableArguments(formatRequest(request)) == request, "the request reads back the same");
  }
  return 0;
}
