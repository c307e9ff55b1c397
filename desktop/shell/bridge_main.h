// `VLVPNDesk --bridge`: the desktop program's modules behind JSON lines on
// standard input and output.
#pragma once

namespace vlvpn::shell {

// Serves until end of input, then waits a short while for calls still in
// flight; the caller then ends the process at once, as the tray's exit
// does (workers are never joined). Its modules' hooks stay bound.
void serveBridge();

// serveBridge(), then the process ends with exit code 0.
[[noreturn]] void runBridge();

// `VLVPNDesk --describe`: the modules' tables as one JSON document on
// standard output (host::describeModules); nothing is started or served.
[[noreturn]] void runDescribe();

}  // namespace vlvpn::shell
