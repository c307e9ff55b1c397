#include <windows.h>
#include <shellapi.h>

#include "common/win32/wide.h"
#include "desktop/tunnel/elevated_launcher.h"
#include "desktop/tunnel/tunnel_process_win32.h"

namespace vlvpn::tunnel {
namespace {

class RunasLauncher final : public ElevatedLauncher {
 public:
  ElevatedLaunch start(const std::filesystem::path& program, const std::string& parameters,
                       const std::vector<std::string>&) override {
    const std::wstring file = program.wstring();
    const std::wstring wideParameters = wideFromUtf8(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = wideParameters.c_str();
    info.nShow = SW_HIDE;
    ElevatedLaunch launch;
    if (!ShellExecuteExW(&info)) {
      launch.error = GetLastError();
    } else if (info.hProcess) {
      launch.process = adoptProcessHandle(info.hProcess);
    }
    return launch;
  }
};

}  // namespace

std::unique_ptr<ElevatedLauncher> ElevatedLauncher::create() { return std::make_unique<RunasLauncher>(); }

}  // namespace vlvpn::tunnel
