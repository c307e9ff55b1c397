// The platform services behind the tunnel module's remaining methods:
// preferences, secrets, the device's model and the programs to close when
// the VPN drops. The composition root wires the real ones.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/services/preferences.h"
#include "desktop/services/secret_store.h"

namespace vlvpn::tunnel {

struct ServicePorts {
  std::shared_ptr<services::PreferenceStore> preferences;
  std::shared_ptr<services::SecretStore> secrets;
  std::function<std::string()> deviceModel = [] { return std::string(); };
  // The chosen program file, or nullopt when cancelled; may block.
  std::function<std::optional<std::string>()> chooseApplication = [] { return std::optional<std::string>(); };
  std::function<std::vector<std::string>(const std::vector<std::string>&)> terminateApplications =
      [](const std::vector<std::string>&) { return std::vector<std::string>(); };
};

}  // namespace vlvpn::tunnel
