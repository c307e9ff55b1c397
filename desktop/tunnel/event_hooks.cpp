#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::tunnel {

host::Hook<bool> adapterChangedHook;
host::Hook<const nlohmann::json&> menuActionHook;
host::Hook<> windowShownHook;
host::Hook<> windowHiddenHook;
host::Hook<> systemResumedHook;
host::Hook<> systemSleepingHook;

nlohmann::json menuActionPayload(const std::string& action, const std::string& serverId) {
  nlohmann::json payload = {{"action", action}};
  if (!serverId.empty()) payload["serverId"] = serverId;
  return payload;
}

}  // namespace vlvpn::tunnel
