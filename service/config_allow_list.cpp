#include "service/config_allow_list.h"

#include <algorithm>
#include <array>

#include "common/text.h"

namespace vlvpn::service {
namespace {

// OpenVPN reads its configuration with fgets() into OPTION_LINE_SIZE bytes
// and splits a line into at most MAX_PARMS words.
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

// The directives of a provider's client profile; each loads no code, writes
// no file and reads none. Checked further below: those whose arguments may
// name a file or a directive.
constexpr std::array kAccepted = {
    "allow-compression", "auth", "auth-nocache", "auth-retry", "auth-user-pass", "block-outside-dns", "cipher",
    "client", "comp-lzo", "comp-noadapt", "compress", "connect-retry", "connect-retry-max", "connect-timeout",
    "data-ciphers", "data-ciphers-fallback", "dev", "dev-node", "dev-type", "dhcp-option", "disable-occ", "ecdh-curve",
    "explicit-exit-notify", "fast-io", "float", "fragment", "hand-window", "http-proxy", "http-proxy-option",
    "ifconfig", "ifconfig-ipv6", "ignore-unknown-option", "inactive", "ip-win32", "keepalive", "key-direction",
    "link-mtu", "lport", "mssfix", "mtu-disc", "mute", "mute-replay-warnings", "ncp-ciphers", "nobind",
    "ns-cert-type", "persist-key", "persist-local-ip", "persist-remote-ip", "persist-tun", "ping", "ping-exit",
    "ping-restart", "ping-timer-rem", "port", "proto", "pull", "pull-filter", "push-peer-info", "rcvbuf",
    "redirect-gateway", "redirect-private", "register-dns", "remote", "remote-cert-eku", "remote-cert-ku",
    "remote-cert-tls", "remote-random", "remote-random-hostname", "reneg-bytes", "reneg-pkts", "reneg-sec",
    "replay-window", "resolv-retry", "route", "route-delay", "route-ipv6", "route-method", "route-metric",
    "route-nopull", "rport", "server-poll-timeout", "setenv", "setenv-safe", "sndbuf", "socks-proxy",
    "static-challenge", "suppress-timestamps", "tap-sleep", "tls-cert-profile", "tls-cipher", "tls-ciphersuites",
    "tls-client", "tls-exit", "tls-groups", "tls-timeout", "tls-version-max", "tls-version-min", "topology",
    "tran-window", "tun-ipv6", "tun-mtu", "tun-mtu-extra", "txqueuelen", "verb", "verify-x509-name",
    "windows-driver",
};

// Keys and credentials, accepted only as inline blocks (as a line they name a file).
constexpr std::array kInlineOnly = {"ca",          "cert",       "key",         "tls-auth",       "tls-crypt",
                                    "tls-crypt-v2", "extra-certs", "auth-user-pass", "http-proxy-user-pass"};

template <size_t N>
bool listed(const std::array<const char*, N>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const char* listedName) { return name == listedName; });
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
    if (listed(kInlineOnly, tag)) return std::nullopt;
    return "<" + tag + ">";
  }
  // "setenv opt X ..." is X, which OpenVPN then merely does not insist on.
  std::vector<std::string> words = directive.words;
  while (words.size() >= 2 && words[0] == "setenv" && words[1] == "opt") words.erase(words.begin(), words.begin() + 2);
  if (words.empty()) return std::nullopt;
  const std::string name = words.front();

  if (!listed(kAccepted, name)) return name;
  const auto withFile = [&](size_t index) { return name + " " + words[index]; };
  if (name == "auth-user-pass" && words.size() > 1) return withFile(1);
  if (name == "http-proxy" && words.size() > 3 && words[3] != "auto" && words[3] != "auto-nct") return withFile(3);
  if (name == "socks-proxy" && words.size() > 3) return withFile(3);
  if (name == "dev-node" && words.size() > 1 && words[1].find_first_of("/\\") != std::string::npos) return withFile(1);
  if ((name == "setenv" || name == "setenv-safe") && (words.size() < 2 || !isEnvironmentName(words[1]))) {
    return name + (words.size() > 1 ? " " + words[1] : "");
  }
  if (name == "ignore-unknown-option") {
    for (size_t i = 1; i < words.size(); ++i) {
      if (!listed(kAccepted, words[i])) return name + " " + words[i];
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
