// Programs the user wants closed when the VPN drops: choosing one, and
// ending every running process of the chosen programs.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::services {

// {"bundleId": file name, "name": file name before its last ".", "path",
// "color": "#1d8fef"} for a chosen program file.
nlohmann::json applicationEntry(std::string_view path, std::string_view separators);

// What ends a folder in a path the dialog returns: "\\" on Windows, "/" on Linux.
std::string_view nativePathSeparators();  // per platform

// The system's file dialog; nullopt when cancelled or unavailable. Windows:
// the open-file dialog; Linux: zenity when a display and zenity are there.
std::optional<std::string> chooseApplicationFile();  // per platform

struct RunningProcess {
  uint32_t pid = 0;
  std::string exeFileName;  // as the system reports it (UTF-8)
};

// The processes whose executable file name equals one of `names` ignoring
// ASCII case, in snapshot order, each once.
std::vector<RunningProcess> matchingProcesses(const std::vector<RunningProcess>& snapshot,
                                              const std::vector<std::string>& names);

// Ends the matching processes; the file names of those ended, in snapshot
// order. Linux: only processes of the calling user, with SIGKILL.
std::vector<std::string> terminateApplications(const std::vector<std::string>& names);  // per platform

}  // namespace vlvpn::services
