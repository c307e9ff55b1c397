#include "service/config_allow_list.h"

#include <algorithm>

#include "common/text.h"

namespace vlvpn::service {
namespace {

// OpenVPN reads its configuration with fgets() into OPTION_LINE_SIZE bytes
// and splits a line into at most MAX_PARMS words. Inside a <connection>
// block it reads the text again in buffers of its own, which split a long
// line elsewhere: a configuration with a physical line that fills the
// buffer is refused whole, as no single reading of it is certain. (At top
// level OpenVPN itself refuses 256 bytes or more; PEM lines are 64.)
constexpr size_t kLineBytes = 255;
constexpr size_t kMaxWords = 16;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The lines fgets() hands out: up to and with the LF, at most 255 bytes.
std::vector<std::string_view> fgetsLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t newline = text.find('\n', start);
    size_t end = std::min(start + kLineBytes, text.size());
    if (newline != std::string_view::npos && newline < end) end = newline + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

bool isSpace(char c) { return c == '\0' || c == ' ' || (c >= '\t' && c <= '\r'); }

// OpenVPN's parse_line(), state for state. nullopt where OpenVPN reports an
// error (bad backslash use, a quote left open); an empty list for a blank or
// comment line.
std::optional<std::vector<std::string>> parseLine(std::string_view line) {
  enum class State { Initial, Unquoted, DoubleQuoted, SingleQuoted };
  std::vector<std::string> words;
  std::string word;
  State state = State::Initial;
  bool backslash = false;
  for (size_t i = 0; i <= line.size(); ++i) {
    const char in = i < line.size() ? line[i] : '\0';
    char out = 0;
    bool done = false;
    if (!backslash && in == '\\' && state != State::SingleQuoted) {
      backslash = true;
      continue;
    }
    switch (state) {
      case State::Initial:
        if (!isSpace(in)) {
          if (in == ';' || in == '#') return words;  // a comment ends the line, even behind a backslash
          if (!backslash && in == '"') {
            state = State::DoubleQuoted;
          } else if (!backslash && in == '\'') {
            state = State::SingleQuoted;
          } else {
            out = in;
            state = State::Unquoted;
          }
        }
        break;
      case State::Unquoted:
        if (!backslash && isSpace(in)) {
          done = true;
        } else {
          out = in;
        }
        break;
      case State::DoubleQuoted:
        if (!backslash && in == '"') {
          done = true;
        } else {
          out = in;
        }
        break;
      case State::SingleQuoted:
        if (in == '\'') {
          done = true;
        } else {
          out = in;
        }
        break;
    }
    if (done) {
      words.push_back(std::move(word));
      word.clear();
      state = State::Initial;
    }
    if (backslash && out && !(out == '\\' || out == '"' || isSpace(out))) return std::nullopt;
    backslash = false;
    if (out) word += out;
    if (words.size() >= kMaxWords) return words;
  }
  if (state != State::Initial) return std::nullopt;  // a quote left open, or a word cut by the line's end
  return words;
}

// What OpenVPN's chomp() leaves of a line.
std::string_view chomp(std::string_view line) { return trimTrailing(line, "\r\n"); }

bool readDirectives(const std::vector<std::string_view>& lines, size_t& next, bool topLevel,
                    std::vector<ConfigDirective>& directives) {
  while (next < lines.size()) {
    const int lineNumber = static_cast<int>(next) + 1;
    std::string_view line = lines[next++];
    if (topLevel && lineNumber == 1 && line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
    auto words = parseLine(line);
    if (!words) return false;
    if (words->empty()) continue;
    ConfigDirective directive;
    directive.line = lineNumber;
    if (words->front().starts_with("--")) words->front().erase(0, 2);
    const std::string& first = words->front();
    if (words->size() == 1 && first.size() >= 2 && first.front() == '<' && first.back() == '>') {
      directive.inlineBlock = true;
      directive.words = {first.substr(1, first.size() - 2)};
      const std::string closing = "</" + directive.words[0] + ">";
      bool closed = false;
      while (next < lines.size()) {
        const std::string_view content = chomp(lines[next++]);
        if (content.starts_with(closing)) {
          closed = true;
          break;
        }
        // Some OpenVPN versions skip white space before the closing tag.
        const size_t text = content.find_first_not_of(" \t\v\f\r");
        if (text != std::string_view::npos && content.substr(text).starts_with(closing)) return false;
        directive.content.append(content).append("\n");
      }
      if (!closed) return false;
    } else {
      directive.words = std::move(*words);
    }
    directives.push_back(std::move(directive));
  }
  return true;
}

// Every option of OpenVPN 2.6's reference manual, and a few it has dropped,
// in one of four classes. Only `None` is accepted as a line; the data blocks
// marked `inline` are accepted in their inline form, where they carry the
// data instead of naming a file. Options OpenVPN 2.6 no longer knows are
// `None`: OpenVPN refuses them itself, with its own message in the log.
// A name not listed here is refused.
enum class Effect {
  RunsCode,      // loads a library or runs a program (or names one that does)
  ReadsFile,     // reads a file or folder it names
  ChangesHost,   // writes a file, or changes the machine or the process beyond the tunnel
  ServerMode,    // makes OpenVPN a server for others (the manual's server options): it
                 // would listen, hand out addresses and push options with the service's rights
  None,          // none of these
};

struct OptionClass {
  const char* name;
  Effect effect;
  bool inlineData = false;  // "<name>...</name>" carries data and is accepted
};

constexpr OptionClass kOptions[] = {
    // Code and programs.
    {"auth-user-pass-verify", Effect::RunsCode}, {"client-connect", Effect::RunsCode},
    {"client-disconnect", Effect::RunsCode}, {"down", Effect::RunsCode}, {"engine", Effect::RunsCode},
    {"iproute", Effect::RunsCode}, {"ipchange", Effect::RunsCode}, {"learn-address", Effect::RunsCode},
    {"pkcs11-cert-private", Effect::RunsCode}, {"pkcs11-id", Effect::RunsCode},  // through a PKCS#11 provider library
    {"pkcs11-id-management", Effect::RunsCode}, {"pkcs11-pin-cache", Effect::RunsCode},
    {"pkcs11-private-mode", Effect::RunsCode}, {"pkcs11-protected-authentication", Effect::RunsCode},
    {"pkcs11-providers", Effect::RunsCode}, {"plugin", Effect::RunsCode}, {"providers", Effect::RunsCode},
    {"route-pre-down", Effect::RunsCode}, {"route-up", Effect::RunsCode}, {"tls-crypt-v2-verify", Effect::RunsCode},
    {"tls-verify", Effect::RunsCode}, {"up", Effect::RunsCode}, {"win-sys", Effect::RunsCode},

    // Files named by path (the data blocks among them are accepted inline).
    {"askpass", Effect::ReadsFile}, {"auth-user-pass", Effect::None, true},  // a file argument is refused below
    {"ca", Effect::ReadsFile, true}, {"capath", Effect::ReadsFile}, {"cert", Effect::ReadsFile, true},
    {"client-config-dir", Effect::ReadsFile}, {"config", Effect::ReadsFile}, {"crl-verify", Effect::ReadsFile, true},
    {"cryptoapicert", Effect::ReadsFile},  // a key from the machine's certificate store
    {"dh", Effect::ReadsFile, true}, {"extra-certs", Effect::ReadsFile, true},
    {"http-proxy-user-pass", Effect::ReadsFile, true}, {"key", Effect::ReadsFile, true},
    {"pkcs12", Effect::ReadsFile, true}, {"secret", Effect::ReadsFile, true}, {"tls-auth", Effect::ReadsFile, true},
    {"tls-crypt", Effect::ReadsFile, true}, {"tls-crypt-v2", Effect::ReadsFile, true},

    // Files written, the machine or the process changed beyond the tunnel.
    {"allow-nonadmin", Effect::ChangesHost}, {"cd", Effect::ChangesHost}, {"chroot", Effect::ChangesHost},
    {"daemon", Effect::ChangesHost}, {"genkey", Effect::ChangesHost}, {"ifconfig-pool-persist", Effect::ChangesHost},
    {"inetd", Effect::ChangesHost}, {"log", Effect::ChangesHost}, {"log-append", Effect::ChangesHost},
    {"management", Effect::ChangesHost}, {"management-client", Effect::ChangesHost},
    {"management-client-auth", Effect::ChangesHost}, {"management-client-group", Effect::ChangesHost},
    {"management-client-user", Effect::ChangesHost}, {"management-external-cert", Effect::ChangesHost},
    {"management-external-key", Effect::ChangesHost}, {"management-forget-disconnect", Effect::ChangesHost},
    {"management-hold", Effect::ChangesHost}, {"management-log-cache", Effect::ChangesHost},
    {"management-query-passwords", Effect::ChangesHost}, {"management-query-proxy", Effect::ChangesHost},
    {"management-query-remote", Effect::ChangesHost}, {"management-signal", Effect::ChangesHost},
    {"management-up-down", Effect::ChangesHost}, {"memstats", Effect::ChangesHost}, {"mktun", Effect::ChangesHost},
    {"nice", Effect::ChangesHost}, {"port-share", Effect::ChangesHost}, {"replay-persist", Effect::ChangesHost},
    {"rmtun", Effect::ChangesHost}, {"setcon", Effect::ChangesHost}, {"status", Effect::ChangesHost},
    {"syslog", Effect::ChangesHost}, {"tls-export-cert", Effect::ChangesHost}, {"tmp-dir", Effect::ChangesHost},
    {"writepid", Effect::ChangesHost},

    // None of these. ("user" and "group" only drop rights; the service's own
    // "--script-security 1" comes after the configuration, and the last one wins.)
    {"allow-compression", Effect::None}, {"allow-pull-fqdn", Effect::None},
    {"allow-recursive-routing", Effect::None}, {"auth", Effect::None}, {"auth-gen-token", Effect::ServerMode},
    {"auth-gen-token-secret", Effect::ReadsFile, true}, {"auth-nocache", Effect::None}, {"auth-retry", Effect::None},
    {"auth-token", Effect::None}, {"auth-token-user", Effect::None}, {"auth-user-pass-optional", Effect::ServerMode},
    {"bcast-buffers", Effect::ServerMode}, {"bind", Effect::None}, {"bind-dev", Effect::None},
    {"block-ipv6", Effect::None}, {"block-outside-dns", Effect::None}, {"ccd-exclusive", Effect::ServerMode},
    {"cipher", Effect::None}, {"client", Effect::None}, {"client-nat", Effect::None},
    {"client-to-client", Effect::ServerMode}, {"comp-lzo", Effect::None}, {"comp-noadapt", Effect::None},
    {"compat-mode", Effect::None}, {"compress", Effect::None}, {"connect-freq", Effect::ServerMode},
    {"connect-freq-initial", Effect::ServerMode}, {"connect-retry", Effect::None}, {"connect-retry-max", Effect::None},
    {"connect-timeout", Effect::None}, {"data-ciphers", Effect::None}, {"data-ciphers-fallback", Effect::None},
    {"dev", Effect::None}, {"dev-node", Effect::None},  // a path is refused below
    {"dev-type", Effect::None}, {"dhcp-option", Effect::None}, {"dhcp-pre-release", Effect::None},
    {"dhcp-release", Effect::None}, {"dhcp-renew", Effect::None}, {"disable", Effect::ServerMode},
    {"disable-dco", Effect::None}, {"disable-occ", Effect::None}, {"dns", Effect::None},
    {"down-pre", Effect::None}, {"duplicate-cn", Effect::ServerMode}, {"echo", Effect::None},
    {"ecdh-curve", Effect::None}, {"explicit-exit-notify", Effect::None}, {"fast-io", Effect::None},
    {"float", Effect::None}, {"fragment", Effect::None}, {"gremlin", Effect::None}, {"group", Effect::None},
    {"hand-window", Effect::None}, {"hash-size", Effect::ServerMode}, {"http-proxy", Effect::None},  // an auth file is refused below
    {"http-proxy-option", Effect::None}, {"http-proxy-retry", Effect::None}, {"http-proxy-timeout", Effect::None},
    {"ifconfig", Effect::None}, {"ifconfig-ipv6", Effect::None}, {"ifconfig-ipv6-pool", Effect::ServerMode},
    {"ifconfig-ipv6-push", Effect::ServerMode}, {"ifconfig-noexec", Effect::None}, {"ifconfig-nowarn", Effect::None},
    {"ifconfig-pool", Effect::ServerMode}, {"ifconfig-push", Effect::ServerMode}, {"ignore-unknown-option", Effect::None},
    {"inactive", Effect::None}, {"ip-win32", Effect::None}, {"iroute", Effect::ServerMode}, {"iroute-ipv6", Effect::ServerMode},
    {"keepalive", Effect::None}, {"key-direction", Effect::None}, {"key-method", Effect::None},
    {"keying-material-exporter", Effect::None}, {"keysize", Effect::None}, {"link-mtu", Effect::None},
    {"lladdr", Effect::None}, {"local", Effect::None}, {"lport", Effect::None},
    {"machine-readable-output", Effect::None}, {"mark", Effect::None}, {"max-clients", Effect::ServerMode},
    {"max-routes", Effect::None}, {"max-routes-per-client", Effect::ServerMode}, {"mlock", Effect::None},
    {"mode", Effect::ServerMode}, {"mssfix", Effect::None}, {"mtu-disc", Effect::None}, {"mtu-test", Effect::None},
    {"multihome", Effect::None}, {"mute", Effect::None}, {"mute-replay-warnings", Effect::None},
    {"ncp-ciphers", Effect::None}, {"ncp-disable", Effect::None}, {"no-name-remapping", Effect::None},
    {"no-replay", Effect::None}, {"nobind", Effect::None}, {"ns-cert-type", Effect::None},
    {"opt-verify", Effect::ServerMode}, {"passtos", Effect::None}, {"pause-exit", Effect::None},
    {"peer-fingerprint", Effect::None, true}, {"persist-key", Effect::None}, {"persist-local-ip", Effect::None},
    {"persist-remote-ip", Effect::None}, {"persist-tun", Effect::None}, {"ping", Effect::None},
    {"ping-exit", Effect::None}, {"ping-restart", Effect::None}, {"ping-timer-rem", Effect::None},
    {"port", Effect::None}, {"prng", Effect::None}, {"proto", Effect::None}, {"proto-force", Effect::None},
    {"pull", Effect::None}, {"pull-filter", Effect::None}, {"push", Effect::ServerMode}, {"push-peer-info", Effect::None},
    {"push-remove", Effect::ServerMode}, {"push-reset", Effect::ServerMode}, {"rcvbuf", Effect::None},
    {"redirect-gateway", Effect::None}, {"redirect-private", Effect::None}, {"register-dns", Effect::None},
    {"remap-usr1", Effect::None}, {"remote", Effect::None}, {"remote-cert-eku", Effect::None},
    {"remote-cert-ku", Effect::None}, {"remote-cert-tls", Effect::None}, {"remote-random", Effect::None},
    {"remote-random-hostname", Effect::None}, {"reneg-bytes", Effect::None}, {"reneg-pkts", Effect::None},
    {"reneg-sec", Effect::None}, {"replay-window", Effect::None}, {"resolv-retry", Effect::None},
    {"route", Effect::None}, {"route-delay", Effect::None}, {"route-gateway", Effect::None},
    {"route-ipv6", Effect::None}, {"route-ipv6-gateway", Effect::None}, {"route-method", Effect::None},
    {"route-metric", Effect::None}, {"route-noexec", Effect::None}, {"route-nopull", Effect::None},
    {"rport", Effect::None}, {"script-security", Effect::None}, {"server", Effect::ServerMode},
    {"server-bridge", Effect::ServerMode}, {"server-ipv6", Effect::ServerMode}, {"server-poll-timeout", Effect::None},
    {"service", Effect::None}, {"session-timeout", Effect::None}, {"setenv", Effect::None},  // names checked below
    {"setenv-safe", Effect::None}, {"shaper", Effect::None}, {"show-adapters", Effect::None},
    {"show-ciphers", Effect::None}, {"show-digests", Effect::None}, {"show-engines", Effect::None},
    {"show-gateway", Effect::None}, {"show-net", Effect::None}, {"show-net-up", Effect::None},
    {"show-tls", Effect::None}, {"show-valid-subnets", Effect::None}, {"single-session", Effect::None},
    {"sndbuf", Effect::None}, {"socks-proxy", Effect::None},  // an auth file is refused below
    {"socks-proxy-retry", Effect::None}, {"stale-routes-check", Effect::ServerMode}, {"static-challenge", Effect::None},
    {"status-version", Effect::None}, {"suppress-timestamps", Effect::None}, {"tap-sleep", Effect::None},
    {"tcp-nodelay", Effect::None}, {"tcp-queue-limit", Effect::ServerMode}, {"test-crypto", Effect::None},
    {"tls-cert-profile", Effect::None}, {"tls-cipher", Effect::None}, {"tls-ciphersuites", Effect::None},
    {"tls-client", Effect::None}, {"tls-exit", Effect::None}, {"tls-groups", Effect::None},
    {"tls-server", Effect::ServerMode}, {"tls-timeout", Effect::None}, {"tls-version-max", Effect::None},
    {"tls-version-min", Effect::None}, {"topology", Effect::None}, {"tran-window", Effect::None},
    {"tun-ipv6", Effect::None}, {"tun-mtu", Effect::None}, {"tun-mtu-extra", Effect::None},
    {"txqueuelen", Effect::None}, {"up-delay", Effect::None}, {"up-restart", Effect::None}, {"user", Effect::None},
    {"username-as-common-name", Effect::ServerMode}, {"verb", Effect::None}, {"verify-client-cert", Effect::ServerMode},
    {"verify-hash", Effect::None, true}, {"verify-x509-name", Effect::None}, {"vlan-accept", Effect::ServerMode},
    {"vlan-pvid", Effect::ServerMode}, {"vlan-tagging", Effect::ServerMode}, {"windows-driver", Effect::None},
    {"x509-track", Effect::None}, {"x509-username-field", Effect::None},
};

const OptionClass* findOption(std::string_view name) {
  for (const auto& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

bool acceptedAsLine(std::string_view name) {
  const OptionClass* option = findOption(name);
  return option && option->effect == Effect::None;
}

// The variables profiles set that no program OpenVPN starts reads: names of
// OpenVPN's own and of providers' profiles. Anything else (PATH, SystemRoot,
// LD_PRELOAD, ...) would reach route.exe, ipconfig.exe or ip, which OpenVPN
// runs with the service's rights. Windows reads names without regard to case.
bool isHarmlessVariable(std::string_view name) {
  static constexpr std::string_view kNames[] = {"CLIENT_CERT",       "PUSH_PEER_INFO",       "REMOTE_RANDOM_HOSTNAME",
                                                "SERVER_POLL_TIMEOUT", "FORWARD_COMPATIBLE"};
  const std::string upper = asciiUpper(name);
  if (upper.starts_with("UV_") && upper.size() > 3) return true;
  return std::find(std::begin(kNames), std::end(kNames), upper) != std::end(kNames);
}

bool isEnvironmentName(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

std::optional<std::string> refusedIn(const std::vector<ConfigDirective>& directives);

// Why one directive is refused, or nullopt.
std::optional<std::string> refusal(const ConfigDirective& directive) {
  if (directive.inlineBlock) {
    const std::string& tag = directive.words.front();
    if (tag == "connection") {
      // Its lines are directives too. (A block inside it cannot close
      // before the outer one, so it always reads as a block left open.)
      auto nested = readOpenVpnConfig(directive.content);
      if (!nested) return std::string("<connection> that cannot be read");
      return refusedIn(*nested);
    }
    const OptionClass* option = findOption(tag);
    if (option && option->inlineData) return std::nullopt;
    return "<" + tag + ">";
  }
  // "setenv opt X ..." is X, which OpenVPN then merely does not insist on.
  std::vector<std::string> words = directive.words;
  while (words.size() >= 2 && words[0] == "setenv" && words[1] == "opt") words.erase(words.begin(), words.begin() + 2);
  if (words.empty()) return std::nullopt;
  const std::string name = words.front();

  if (!acceptedAsLine(name)) return name;
  const auto withFile = [&](size_t index) { return name + " " + words[index]; };
  if (name == "auth-user-pass" && words.size() > 1) return withFile(1);
  if (name == "http-proxy" && words.size() > 3 && words[3] != "auto" && words[3] != "auto-nct") return withFile(3);
  if (name == "socks-proxy" && words.size() > 3) return withFile(3);
  if (name == "dev-node" && words.size() > 1 && words[1].find_first_of("/\\") != std::string::npos) return withFile(1);
  // setenv-safe puts "OPENVPN_" before the name, which no program reads.
  if ((name == "setenv" || name == "setenv-safe") && (words.size() < 2 || !isEnvironmentName(words[1]))) {
    return name + (words.size() > 1 ? " " + words[1] : "");
  }
  if (name == "setenv" && !isHarmlessVariable(words[1])) return name + " " + words[1];
  if (name == "ignore-unknown-option") {
    for (size_t i = 1; i < words.size(); ++i) {
      if (!acceptedAsLine(words[i])) return name + " " + words[i];
    }
  }
  return std::nullopt;
}

std::optional<std::string> refusedIn(const std::vector<ConfigDirective>& directives) {
  for (const auto& directive : directives) {
    if (auto refused = refusal(directive)) return refused;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<ConfigDirective>> readOpenVpnConfig(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const auto lines = fgetsLines(text);
  // A piece that filled the buffer without reaching its line's end.
  for (const auto line : lines) {
    if (line.size() >= kLineBytes && !line.ends_with('\n')) return std::nullopt;
  }
  std::vector<ConfigDirective> directives;
  size_t next = 0;
  if (!readDirectives(lines, next, true, directives)) return std::nullopt;
  return directives;
}

std::optional<std::string> refusedDirective(std::string_view configText) {
  const auto directives = readOpenVpnConfig(configText);
  if (!directives) return std::string("a configuration OpenVPN could read otherwise");
  return refusedIn(*directives);
}

}  // namespace vlvpn::service
