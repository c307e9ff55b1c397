#include "desktop/services/applications.h"

#include <algorithm>

#include "common/text.h"

namespace vlvpn::services {

nlohmann::json applicationEntry(std::string_view path, std::string_view separators) {
  const size_t cut = path.find_last_of(separators);
  const std::string fileName(cut == std::string_view::npos ? path : path.substr(cut + 1));
  const size_t dot = fileName.rfind('.');
  const std::string name = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  return {{"bundleId", fileName}, {"name", name}, {"path", std::string(path)}, {"color", "#1d8fef"}};
}

std::vector<RunningProcess> matchingProcesses(const std::vector<RunningProcess>& snapshot,
                                              const std::vector<std::string>& names) {
  std::vector<std::string> wanted;
  for (const auto& name : names) wanted.push_back(asciiLower(name));
  std::vector<RunningProcess> matches;
  for (const auto& process : snapshot) {
    if (std::find(wanted.begin(), wanted.end(), asciiLower(process.exeFileName)) != wanted.end()) {
      matches.push_back(process);
    }
  }
  return matches;
}

}  // namespace vlvpn::services
