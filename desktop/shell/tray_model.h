// What the tray shows and offers, as values: the state the interface pushes,
// the scanner for its menu model, the tooltip, the balloon, the menu's items
// and what each chosen command does. The Win32 tray only renders these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::shell {

struct DedicatedServerEntry {
  std::string id;        // the bytes exactly as they stood in the model text
  std::u16string label;  // the entry's label, or its id when the label is empty
  friend bool operator==(const DedicatedServerEntry&, const DedicatedServerEntry&) = default;
};

// The interface's last menu model; the tray copies it under its lock.
struct TrayMenuModel {
  bool connected = false;
  std::u16string serverLabel;
  std::vector<DedicatedServerEntry> dedicatedServers;
};

inline constexpr uint32_t kTrayQuickConnect = 2001;
inline constexpr uint32_t kTrayDisconnect = 2002;
inline constexpr uint32_t kTrayOpenApp = 2003;
inline constexpr uint32_t kTrayExit = 2004;
inline constexpr uint32_t kTrayDedicatedFirst = 3000;

inline constexpr size_t kTooltipUnits = 127;
inline constexpr size_t kBalloonTitleUnits = 63;
inline constexpr size_t kBalloonTextUnits = 255;

// The bytes after `"key":"` up to the next double quote; empty when the key
// is not written exactly so or no closing quote follows. No escape is
// decoded.
std::string extractStringValue(std::string_view text, std::string_view key);

// Reads the model as a byte scanner, not a JSON parser: only compact text
// (no white space around the colons) is understood; anything missing
// leaves its field at the default, and malformed entries are skipped.
TrayMenuModel parseMenuModel(std::string_view text);

// "Velmora VPN - Connected (<label>)", "Velmora VPN - Connected" or
// "Velmora VPN - Disconnected", cut to kTooltipUnits.
std::u16string buildTooltip(const TrayMenuModel& model);

struct Balloon {
  std::u16string title;
  std::u16string text;
};

// The balloon for a window hidden while connected; nullopt when not
// connected.
std::optional<Balloon> balloonForHiddenWindow(const TrayMenuModel& model);

struct TrayMenuItem {
  enum class Kind { Command, Separator, Submenu };
  Kind kind = Kind::Command;
  std::u16string text;
  uint32_t command = 0;  // 0 for the status line, separators and submenus
  bool enabled = true;
  std::vector<TrayMenuItem> children;  // a submenu's items
  friend bool operator==(const TrayMenuItem&, const TrayMenuItem&) = default;
};

// The pop-up menu for this state, top to bottom.
std::vector<TrayMenuItem> buildTrayMenu(const TrayMenuModel& model);

// What a chosen command does; nothing for a dismissed menu or an unknown
// command.
struct TrayAction {
  std::string action;    // the menuBarAction "action"; empty: none
  std::string serverId;  // only for "connectDedicated"
  bool showWindow = false;
  bool exitProgram = false;
  friend bool operator==(const TrayAction&, const TrayAction&) = default;
};
std::optional<TrayAction> actionForCommand(uint32_t command, const TrayMenuModel& model);

}  // namespace vlvpn::shell
