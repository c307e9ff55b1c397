// The bridge host: the modules behind JSON lines, one object per line.
//
//   call     {"id": 7, "module": "VLVPNTunnel", "method": "getStatus", "args": []}
//   answer   {"id": 7, "result": ...}  or  {"id": 7, "error": {"code", "message", "userInfo"}}
//   event    {"event": "tunnelAdapterChanged", "body": {"up": true}}
//
// Calls may overlap; answers go out in the order the promises settle. A bad
// line gets an error answer (with "id": null when none could be read) and the
// host carries on. Output carries protocol lines only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/host/module.h"

namespace vlvpn::host {

class BridgeHost {
 public:
  // `writeLine` receives each outgoing line without its line feed; calls to it
  // are serialised by the host.
  using LineWriter = std::function<void(const std::string& line)>;

  BridgeHost(std::vector<ModuleTable> modules, LineWriter writeLine);
  BridgeHost(const BridgeHost&) = delete;
  BridgeHost& operator=(const BridgeHost&) = delete;

  // Handles one incoming line (a trailing CR is ignored); blank lines are skipped.
  void handleLine(std::string_view line);

  // Reads lines until end of input, handling each.
  void readUntilEnd(std::istream& in);

  // Waits until every call made so far has been answered, or `limit` passes.
  // Returns true when nothing is pending.
  bool waitForPendingCalls(std::chrono::milliseconds limit);

 private:
  struct Shared;  // outlives the host while promises are still out

  void call(const nlohmann::json& id, const ModuleTable& module, const std::string& methodName,
            const nlohmann::json& args);
  void initializeOnce(size_t moduleIndex);

  std::vector<ModuleTable> modules_;
  std::vector<std::unique_ptr<std::once_flag>> initialized_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace vlvpn::host
