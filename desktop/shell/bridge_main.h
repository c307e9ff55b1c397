// `VLVPNDesk --bridge`: the desktop program's modules behind JSON lines on
// standard input and output.
#pragma once

namespace vlvpn::shell {

// Runs until end of input, then waits a short while for calls still in
// flight and ends the process at once, as the tray's exit does (workers are
// never joined).
[[noreturn]] void runBridge();

}  // namespace vlvpn::shell
