#include "desktop/shell/startup_task.h"

namespace vlvpn::shell {
namespace {

class NoPackage final : public StartupTaskPort {
 public:
  bool isPackaged() override { return false; }
  std::optional<StartupTaskState> state(const std::string&) override { return std::nullopt; }
  std::optional<StartupTaskState> requestEnable(const std::string&) override { return std::nullopt; }
  bool disable(const std::string&) override { return false; }
  bool activatedByStartupTask() override { return false; }
};

}  // namespace

std::unique_ptr<StartupTaskPort> StartupTaskPort::create() { return std::make_unique<NoPackage>(); }

}  // namespace vlvpn::shell
