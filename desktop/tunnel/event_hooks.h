// The six process-wide hooks through which other parts of the program raise
// the tunnel module's events without knowing the module instance. Initialize
// binds them to the newest instance; an empty hook does nothing.
#pragma once

#include <nlohmann/json.hpp>

#include "desktop/host/hook.h"

namespace vlvpn::tunnel {

extern host::Hook<bool> adapterChangedHook;                   // tunnelAdapterChanged {"up"}
extern host::Hook<const nlohmann::json&> menuActionHook;      // menuBarAction, payload as given
extern host::Hook<> windowShownHook;                          // appWindowDidShow
extern host::Hook<> windowHiddenHook;                         // appWindowDidHide
extern host::Hook<> systemResumedHook;                        // systemDidResume
extern host::Hook<> systemSleepingHook;                       // systemWillSleep

// The tray's menuBarAction payload: "serverId" only when there is one.
nlohmann::json menuActionPayload(const std::string& action, const std::string& serverId);

}  // namespace vlvpn::tunnel
