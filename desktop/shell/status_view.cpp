#include "desktop/shell/status_view.h"

#include "common/text.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::shell {

StatusLines statusViewLines(const std::string& state, const std::string& profileId) {
  StatusLines lines;
  lines.product = u"Velmora VPN";
  if (state == tunnel::kStateConnected) {
    lines.state = u"Connected";
  } else if (state == tunnel::kStateConnecting) {
    lines.state = u"Connecting\u2026";
  } else {
    lines.state = u"Not connected";
  }
  if (!profileId.empty() && state != tunnel::kStateDisconnected) lines.profile = u"Profile: " + utf8ToUtf16(profileId);
  return lines;
}

}  // namespace vlvpn::shell
