// A configuration the service would let OpenVPN read with the machine's
// highest rights. Whatever the text, an accepted one holds, as the reader
// understands it, no directive that runs code, writes a file or reads one;
// and the same text with such a directive added in any spelling the reader
// knows is refused.
#include <array>
#include <string>

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
    const auto directives = service::readOpenVpnConfig(text);
    fuzz::require(directives.has_value(), "an accepted configuration can be read");
    requireHarmless(*directives);
  }
  const char* spelling = kUpSpellings[size % kUpSpellings.size()];
  const std::string withUp = std::string(text) + "\n" + spelling + "\n";
  fuzz::require(service::refusedDirective(withUp).has_value(), "a configuration with \"up\" added is refused");
  return 0;
}
