#include "desktop/shell/bridge_main.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "desktop/host/bridge_host.h"
#include "desktop/shell/desktop_modules.h"
#include "desktop/shell/standard_streams.h"

namespace vlvpn::shell {

// Long enough for a connect that is waiting on OpenVPN to answer.
constexpr std::chrono::seconds kGraceAfterEndOfInput{30};

void serveBridge() {
  useBinaryStandardStreams();
  std::ios::sync_with_stdio(false);

  host::BridgeHost bridge(makeDesktopModules(), [](const std::string& line) {
    std::cout << line << '\n';
    std::cout.flush();
  });
  bridge.readUntilEnd(std::cin);
  bridge.waitForPendingCalls(kGraceAfterEndOfInput);
  std::cout.flush();
  std::fflush(nullptr);
}

void runDescribe() {
  useBinaryStandardStreams();
  std::cout << host::describeModules(makeDesktopModules()).dump(2) << '\n';
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(0);
}

void runBridge() {
  serveBridge();
  std::_Exit(0);
}

}  // namespace vlvpn::shell
