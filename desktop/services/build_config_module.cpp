#include "desktop/services/build_config_module.h"

#include "desktop/services/device_info.h"

#ifndef VLVPN_API_BASE_URL
#define VLVPN_API_BASE_URL "https://api.velmora.example/api/v1"
#endif

namespace vlvpn::services {

BuildFacts currentBuildFacts() {
  const DeviceFacts device = readDeviceFacts();
  return {VLVPN_API_BASE_URL, programVersion(), osVersionFrom(device), deviceModelFrom(device, genericPcName())};
}

host::ModuleTable makeBuildConfigModule(const BuildFacts& facts) {
  host::ModuleTable module;
  module.name = kBuildConfigModuleName;
  module.constants = {
      {"apiBaseUrl", facts.apiBaseUrl},   {"includeVpnAuthDeviceMetadata", false},
      {"versionName", facts.versionName}, {"appDisplayName", "Velmora VPN"},
      {"osVersion", facts.osVersion},     {"deviceModel", facts.deviceModel},
  };
  return module;
}

}  // namespace vlvpn::services
