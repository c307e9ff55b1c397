// Starting a program with administrator rights, for the direct road to
// OpenVPN and for the TAP installer. Windows: the shell's "runas" verb (the
// user may decline the prompt). Linux: directly when running as root, else
// through pkexec.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

inline constexpr uint32_t kErrorCancelled = 1223;  // the user declined the elevation prompt

struct ElevatedLaunch {
  uint32_t error = 0;                      // 0 when started; kErrorCancelled when declined
  std::shared_ptr<TunnelProcess> process;  // when the system gave one back
};

class ElevatedLauncher {
 public:
  virtual ~ElevatedLauncher() = default;
  // Starts `program` hidden. Windows passes `parameters` as the command line;
  // Linux passes `arguments` one by one.
  virtual ElevatedLaunch start(const std::filesystem::path& program, const std::string& parameters,
                               const std::vector<std::string>& arguments) = 0;

  static std::unique_ptr<ElevatedLauncher> create();  // per platform
};

}  // namespace vlvpn::tunnel
