// The first request the browser (or anything else on this machine) sends to
// the sign-in listener: a callback address, when there is one, is always an
// address on the listener itself, on one line, with the target as sent.
#include <string>

#include "desktop/auth/loopback_session.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t port = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const std::string_view request = fuzz::asText(data + 2, size - 2);
  const std::string url = auth::callbackUrlFromRequest(request, port);
  if (url.empty()) return 0;
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  fuzz::require(url.starts_with(origin + "/"), "the address is a path on the listener");
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    fuzz::require(byte > 0x20 && byte != 0x7f, "the address holds no space or control byte");
  }
  fuzz::require(request.find(std::string_view(url).substr(origin.size())) != std::string_view::npos,
                "the target is passed on as the browser sent it");
  return 0;
}
