#include "desktop/shell/tray_model.h"

#include "common/text.h"

namespace vlvpn::shell {
namespace {

std::u16string cut(std::u16string text, size_t units) {
  if (text.size() > units) text.resize(units);
  return text;
}

}  // namespace

std::string extractStringValue(std::string_view text, std::string_view key) {
  std::string pattern = "\"";
  pattern.append(key).append("\":\"");
  const size_t found = text.find(pattern);
  if (found == std::string_view::npos) return {};
  const size_t start = found + pattern.size();
  const size_t end = text.find('"', start);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(start, end - start));
}

TrayMenuModel parseMenuModel(std::string_view text) {
  TrayMenuModel model;
  model.connected = text.find("\"connected\":true") != std::string_view::npos;
  model.serverLabel = utf8ToUtf16(extractStringValue(text, "serverLabel"));
  if (text.size() < 11) return model;

  const size_t key = text.find("\"dedicated\"");
  if (key == std::string_view::npos) return model;
  const size_t open = text.find('[', key);
  if (open == std::string_view::npos) return model;
  const size_t close = text.find(']', open);
  if (close == std::string_view::npos) return model;
  const std::string_view array = text.substr(open, close - open + 1);

  for (size_t position = 0;;) {
    const size_t begin = array.find('{', position);
    if (begin == std::string_view::npos) break;
    const size_t end = array.find('}', begin + 1);
    if (end == std::string_view::npos) break;
    const std::string_view object = array.substr(begin, end - begin + 1);
    std::string id = extractStringValue(object, "id");
    const std::string label = extractStringValue(object, "label");
    if (!id.empty()) {
      std::u16string shown = utf8ToUtf16(label.empty() ? id : label);
      model.dedicatedServers.push_back({std::move(id), std::move(shown)});
    }
    position = end + 1;
  }
  return model;
}

std::u16string buildTooltip(const TrayMenuModel& model) {
  if (!model.connected) return u"Velmora VPN - Disconnected";
  std::u16string tooltip = u"Velmora VPN - Connected";
  if (!model.serverLabel.empty()) tooltip.append(u" (").append(model.serverLabel).append(u")");
  return cut(std::move(tooltip), kTooltipUnits);
}

std::optional<Balloon> balloonForHiddenWindow(const TrayMenuModel& model) {
  if (!model.connected) return std::nullopt;
  Balloon balloon;
  balloon.title = u"Velmora VPN is still connected";
  if (model.serverLabel.empty()) {
    balloon.text = u"Your VPN tunnel remains active in the background.";
  } else {
    balloon.text.append(u"Protected via ").append(model.serverLabel).append(u".");
  }
  return balloon;
}

std::vector<TrayMenuItem> buildTrayMenu(const TrayMenuModel& model) {
  using Kind = TrayMenuItem::Kind;
  const TrayMenuItem separator{Kind::Separator, u"", 0, true, {}};
  std::u16string status = model.connected ? u"Connected" : u"Not connected";
  if (model.connected && !model.serverLabel.empty()) status.append(u": ").append(model.serverLabel);

  std::vector<TrayMenuItem> menu;
  menu.push_back({Kind::Command, status, 0, false, {}});
  menu.push_back(separator);
  menu.push_back({Kind::Command, u"Quick Connect", kTrayQuickConnect, !model.connected, {}});
  if (model.connected) menu.push_back({Kind::Command, u"Disconnect", kTrayDisconnect, true, {}});
  menu.push_back(separator);

  TrayMenuItem dedicated{Kind::Submenu, u"Dedicated Servers", 0, !model.dedicatedServers.empty(), {}};
  if (model.dedicatedServers.empty()) {
    dedicated.children.push_back({Kind::Command, u"None available", 0, false, {}});
  }
  for (size_t i = 0; i < model.dedicatedServers.size(); ++i) {
    dedicated.children.push_back({Kind::Command, model.dedicatedServers[i].label,
                                  kTrayDedicatedFirst + static_cast<uint32_t>(i), !model.connected, {}});
  }
  menu.push_back(std::move(dedicated));
  menu.push_back(separator);
  menu.push_back({Kind::Command, u"Open Velmora VPN", kTrayOpenApp, true, {}});
  menu.push_back(separator);
  menu.push_back({Kind::Command, u"Exit Velmora VPN", kTrayExit, true, {}});
  return menu;
}

std::optional<TrayAction> actionForCommand(uint32_t command, const TrayMenuModel& model) {
  switch (command) {
    case kTrayQuickConnect:
      return TrayAction{"quickConnect", "", false, false};
    case kTrayDisconnect:
      return TrayAction{"disconnect", "", false, false};
    case kTrayOpenApp:
      return TrayAction{"openApp", "", true, false};
    case kTrayExit:
      return TrayAction{"", "", false, true};
    default:
      break;
  }
  if (command >= kTrayDedicatedFirst && command - kTrayDedicatedFirst < model.dedicatedServers.size()) {
    return TrayAction{"connectDedicated", model.dedicatedServers[command - kTrayDedicatedFirst].id, false, false};
  }
  return std::nullopt;
}

}  // namespace vlvpn::shell
