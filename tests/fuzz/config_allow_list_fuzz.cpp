// A configuration the service would let OpenVPN read with the machine's
// highest rights. Whatever the text, an accepted one holds no physical line
// OpenVPN could split elsewhere and, as the reader understands it, no
// directive that runs code, writes a file, reads one or makes a server;
// and the same text with such a directive added in any spelling the reader
// knows is refused.
#include <algorithm>
#include <array>
#include <string>

#include "common/text.h"
#include "service/config_allow_list.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

// ("script-security" is harmless: the service's own level comes last and
// wins; "user" and "group" only drop rights.)
constexpr std::array kDangerous = {
    "up", "down", "route-up", "route-pre-down", "ipchange", "tls-verify", "auth-user-pass-verify", "client-connect",
    "client-disconnect", "learn-address", "plugin", "engine", "providers", "pkcs11-providers", "config", "cd",
    "chroot", "log", "log-append", "status", "writepid", "daemon", "management", "askpass", "pkcs12", "crl-verify",
    "dh", "secret", "capath", "tmp-dir", "iproute", "ifconfig-pool-persist", "replay-persist", "tls-export-cert",
    "setcon", "syslog", "genkey", "tls-crypt-v2-verify", "client-config-dir", "win-sys"};
// These make OpenVPN a server for others.
constexpr std::array kServerMode = {"mode",      "server",         "server-bridge", "server-ipv6",   "tls-server",
                                    "push",      "push-reset",     "ifconfig-pool", "ifconfig-push", "client-to-client",
                                    "duplicate-cn", "ifconfig-ipv6-pool", "iroute",   "max-clients"};
// As a line these name a file; inline they carry the key itself.
constexpr std::array kFileWhenALine = {"ca",          "cert",       "key",         "tls-auth",       "tls-crypt",
                                       "tls-crypt-v2", "extra-certs", "http-proxy-user-pass"};

template <size_t N>
bool listed(const std::array<const char*, N>& names, std::string_view name) {
  for (const char* listedName : names) {
    if (name == listedName) return true;
  }
  return false;
}

void requireHarmless(const std::vector<service::ConfigDirective>& directives) {
  for (const auto& directive : directives) {
    if (directive.inlineBlock) {
      if (directive.words.front() == "connection") {
        const auto nested = service::readOpenVpnConfig(directive.content);
        fuzz::require(nested.has_value(), "an accepted <connection> block can be read");
        requireHarmless(*nested);
      }
      continue;
    }
    std::vector<std::string> words = directive.words;
    while (words.size() >= 2 && words[0] == "setenv" && words[1] == "opt") words.erase(words.begin(), words.begin() + 2);
    if (words.empty()) continue;
    fuzz::require(!listed(kDangerous, words[0]), "no accepted directive runs code or writes a file");
    fuzz::require(!listed(kFileWhenALine, words[0]), "no accepted key or certificate names a file");
    fuzz::require(!listed(kServerMode, words[0]), "no accepted directive makes OpenVPN a server");
    if (words[0] == "setenv" && words.size() > 1) {
      const std::string upper = asciiUpper(words[1]);
      fuzz::require(upper != "PATH" && upper != "SYSTEMROOT" && upper != "LD_PRELOAD" && upper != "COMSPEC",
                    "no accepted variable reaches the programs OpenVPN starts");
    }
    fuzz::require(words[0] != "auth-user-pass" || words.size() == 1, "accepted credentials name no file");
    if (words[0] == "ignore-unknown-option") {
      for (size_t i = 1; i < words.size(); ++i) fuzz::require(!listed(kDangerous, words[i]), "nothing dangerous is excused");
    }
  }
}

// Spellings of "up" OpenVPN reads as the directive.
constexpr std::array kUpSpellings = {"up /bin/sh",        "--up /bin/sh",  "\"up\" /bin/sh",  "'up' /bin/sh",
                                     "  up\t/bin/sh",     "setenv opt up /bin/sh", "setenv opt --up x",
                                     "<connection>\nup /bin/sh\n</connection>"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  if (!service::refusedDirective(text)) {
    for (size_t start = 0; start < text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      fuzz::require(end - start < 255, "no accepted line fills OpenVPN's buffer");
      start = end + 1;
    }
    const auto directives = service::readOpenVpnConfig(text);
    fuzz::require(directives.has_value(), "an accepted configuration can be read");
    requireHarmless(*directives);
  }
  const char* spelling = kUpSpellings[size % kUpSpellings.size()];
  const std::string withUp = std::string(text) + "\n" + spelling + "\n";
  fuzz::require(service::refusedDirective(withUp).has_value(), "a configuration with \"up\" added is refused");
  return 0;
}
