// VLVPNBuildConfig: the fixed facts the interface reads at start-up, as the
// module's constants; no methods, no events.
#pragma once

#include "desktop/host/module.h"

namespace vlvpn::services {

inline constexpr const char* kBuildConfigModuleName = "VLVPNBuildConfig";

struct BuildFacts {
  std::string apiBaseUrl;
  std::string versionName;
  std::string osVersion;
  std::string deviceModel;
};

// The facts of this build and this machine, read now.
BuildFacts currentBuildFacts();

// apiBaseUrl, includeVpnAuthDeviceMetadata (false), versionName,
// appDisplayName ("Velmora VPN"), osVersion, deviceModel.
host::ModuleTable makeBuildConfigModule(const BuildFacts& facts);

}  // namespace vlvpn::services
