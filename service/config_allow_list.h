// The configurations the service lets OpenVPN read with the machine's
// highest rights: those made only of directives a VPN provider's client
// profile uses, none of which loads code, writes a file or reads one (keys
// come inline, as the profile store imports a single file).
//
// The text is read exactly as OpenVPN 2.6 reads it, so that no spelling
// hides a directive from the check: lines as a 256-byte fgets() gives them
// (a longer line goes on as the next one), a UTF-8 byte-order mark skipped at
// the start, OpenVPN's quoting, backslash and comment rules, "--name" read as
// "name", "setenv opt <directive>" read as the directive, and inline blocks
// that open on a line whose only word is "<tag>" and close on the first line
// that begins with "</tag>". Whatever OpenVPN might read differently (a NUL
// byte, a quote left open, a bad backslash, a block never closed, a closing
// tag behind white space) is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::service {

struct ConfigDirective {
  std::vector<std::string> words;  // the name first, "--" removed
  bool inlineBlock = false;        // "<name>" ... "</name>"; the block's text in `content`
  std::string content;
  int line = 0;                    // where it begins, counting OpenVPN's lines from 1
};

// The directives in order; nullopt when OpenVPN could read the text otherwise.
std::optional<std::vector<ConfigDirective>> readOpenVpnConfig(std::string_view text);

// What the service refuses in a configuration, as the log says it (the
// directive, with the file it names where it names one); nullopt when every
// directive is accepted.
std::optional<std::string> refusedDirective(std::string_view configText);

}  // namespace vlvpn::service
