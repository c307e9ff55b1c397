// The menu model the interface pushes to the tray, read by a byte scanner:
// whatever the text, no entry has an empty id, the tooltip fits, and every
// command the built menu offers does what its entry says.
#include <string>

#include "desktop/shell/tray_model.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;
using shell::TrayMenuItem;

namespace {

void requireCommandsAct(const std::vector<TrayMenuItem>& items, const shell::TrayMenuModel& model) {
  for (const auto& item : items) {
    requireCommandsAct(item.children, model);
    if (item.kind != TrayMenuItem::Kind::Command || item.command == 0) continue;
    const auto action = shell::actionForCommand(item.command, model);
    fuzz::require(action.has_value(), "every command in the menu has an action");
    if (item.command >= shell::kTrayDedicatedFirst) {
      const auto& entry = model.dedicatedServers.at(item.command - shell::kTrayDedicatedFirst);
      fuzz::require(action->action == "connectDedicated" && action->serverId == entry.id,
                    "a dedicated server's item connects that server");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  const shell::TrayMenuModel model = shell::parseMenuModel(text);
  for (const auto& entry : model.dedicatedServers) {
    fuzz::require(!entry.id.empty(), "no entry has an empty id");
    fuzz::require(!entry.label.empty(), "every entry shows a label");
    fuzz::require(text.find(entry.id) != std::string_view::npos, "an id is bytes of the model as they stood");
  }
  fuzz::require(shell::buildTooltip(model).size() <= shell::kTooltipUnits, "the tooltip fits the tray");
  fuzz::require(shell::balloonForHiddenWindow(model).has_value() == model.connected,
                "a balloon exactly when the tunnel is connected");
  requireCommandsAct(shell::buildTrayMenu(model), model);
  fuzz::require(!shell::actionForCommand(shell::kTrayDedicatedFirst + static_cast<uint32_t>(model.dedicatedServers.size()),
                                         model),
                "no command past the last entry acts");
  return 0;
}
