#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

std::string TunnelState::currentState() {
  std::lock_guard lock(sessionMutex);
  return session.state;
}

ServerEndpoint TunnelState::currentEndpoint() {
  std::lock_guard lock(sessionMutex);
  return session.endpoint;
}

killswitch::TunnelView killSwitchView(const std::shared_ptr<TunnelState>& state) {
  return {[state] { return state->currentState(); }, [state] { return state->currentEndpoint(); },
          [state] {
            std::lock_guard lock(state->sessionMutex);
            return state->session.carriesDns;
          }};
}

}  // namespace vlvpn::tunnel
