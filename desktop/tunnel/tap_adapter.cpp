#include "desktop/tunnel/tap_adapter.h"

#include <system_error>

namespace vlvpn::tunnel {

std::atomic<bool> adapterUpLast{false};

std::filesystem::path findTapInstaller(const std::filesystem::path& openVpnPath) {
  const std::filesystem::path name = openVpnPath.extension() == ".exe" ? "tap-windows.exe" : "tap-windows";
  const auto installer = openVpnPath.parent_path() / name;
  std::error_code error;
  return std::filesystem::exists(installer, error) ? installer : std::filesystem::path{};
}

bool ensureTapAdapter(const TapSetup& setup, const std::filesystem::path& openVpnPath) {
  if (isTapAdapterInstalled(setup.adapters.adapters())) return true;
  const auto installer = findTapInstaller(openVpnPath);
  if (installer.empty()) return false;

  auto launch = setup.launcher.start(installer, "/S", {"/S"});
  if (launch.error == 0) {
    if (launch.process) {
      constexpr std::chrono::milliseconds kStep{100};
      for (auto waited = std::chrono::milliseconds(0); waited < kInstallerWait && !launch.process->hasEnded();
           waited += kStep) {
        setup.sleep(kStep);
      }
      launch.process.reset();
    }
    for (int poll = 0; poll < kAdapterPolls && !isTapAdapterInstalled(setup.adapters.adapters()); ++poll) {
      setup.sleep(kAdapterPoll);
    }
  }
  return isTapAdapterInstalled(setup.adapters.adapters());
}

void checkTapAdapterChange(AdapterQuery& adapters, const std::function<void(bool up)>& onChange) {
  const bool up = findUpTapAdapter(adapters.adapters()).has_value();
  const bool before = adapterUpLast.exchange(up);
  if (before != up && onChange) onChange(up);
}

}  // namespace vlvpn::tunnel
