// The desktop program once it knows it is the first instance: the window
// host, the tray and, with --bridge, the JSON lines on the standard handles.
#pragma once

#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/shell_ports.h"

namespace vlvpn::shell {

struct ShellStart {
  bool bridge = false;       // --bridge: speak JSON lines on the standard handles too
  bool startHidden = false;  // a log-on start: only the tray icon
};

// Runs until the program ends; the exit code.
int runDesktop(const ShellStart& start);  // per platform

// The shell's side of the tunnel module's methods.
tunnel::ShellPorts makeShellPorts(std::shared_ptr<tunnel::AdapterQuery> adapters);

}  // namespace vlvpn::shell
