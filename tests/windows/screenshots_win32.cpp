// Takes the pictures of the Windows program that the README shows: the main
// window and the open tray menu, disconnected and connected. Run by
// scripts/screenshots under Wine and Xvfb, with the stand-in openvpn.exe
// and the service in console mode, as the Windows tunnel tests run them.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/bridge_client.h"
#include "tests/support/desktop_windows_win32.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kInstance = "screenshots";
constexpr const char* kProfileId = "screenshots";
constexpr const char* kProfile = "client\r\n# fake-openvpn: management\r\nproto udp\r\nremote 127.0.0.1 1194\r\n";
constexpr const char* kDedicated = R"("dedicated":[{"id":"osl-1","label":"Oslo 1"},{"id":"ber-2","label":"Bergen 2"}])";

// Without a window manager Wine draws no frame, so the main window is
// pictured by its client area; a menu has no frame anyway.
bool picture(HWND window, const std::filesystem::path& file) {
  RECT area{};
  GetClientRect(window, &area);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&area), 2);
  const bool saved = saveScreenPng(area, file);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", file.string().c_str());
  return saved;
}

bool pictures(BridgeClient& bridge, const std::filesystem::path& folder, const std::string& state) {
  Sleep(1500);  // the status view refreshes twice a second; the window settles
  bool ok = picture(mainWindowOf(bridge.child().pid()), folder / ("main-window-" + state + ".png"));
  const HWND menu = openTrayMenu(trayWindowOf(kInstance), bridge.child().pid());
  if (!menu) return false;
  Sleep(500);
  ok = picture(menu, folder / ("tray-menu-" + state + ".png")) && ok;
  return closeTrayMenu(menu) && ok;
}

int run(const std::filesystem::path& folder) {
  TempDir scratch;
  KillSwitchService service(scratch.path());
  if (!service.waitUntilAnswering()) return 1;
  BridgeClient bridge({{"VLVPN_KILLSWITCH_PIPE", service.endpoint}, {"VLVPN_DESK_INSTANCE", kInstance}});
  if (!bridge.call("saveOvpnProfile", {kProfileId, kProfile, std::string(kProfileId) + ".ovpn", ""}).contains("result")) {
    return 1;
  }
  bridge.call("updateMenuBarMenu", {std::string(R"({"connected":false,"serverLabel":"",)") + kDedicated + "}"});
  bool ok = pictures(bridge, folder, "disconnected");

  bridge.call("connectOvpn", {kProfileId, std::string(kProfileId) + ".ovpn", "", ""});
  if (bridge.waitForState("connected", 20s)["state"] != "connected") {
    std::fputs("the stand-in OpenVPN did not connect (is tap-windows0 there?)\n", stderr);
    return 1;
  }
  bridge.call("updateMenuBarMenu", {std::string(R"({"connected":true,"serverLabel":"Oslo 1",)") + kDedicated + "}"});
  ok = pictures(bridge, folder, "connected") && ok;
  bridge.call("disconnect");
  bridge.call("deleteOvpnProfile", {kProfileId});
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace vlvpn::test

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: vlvpn_screenshots OUTPUT-FOLDER\n", stderr);
    return 2;
  }
  return vlvpn::test::run(argv[1]);
}
