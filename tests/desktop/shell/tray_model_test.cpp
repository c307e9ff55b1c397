// The tray as values: the menu-model scanner with the interface's odd
// inputs, the tooltip and balloon texts, the menu per state and what each
// command does.
#include "desktop/shell/tray_model.h"

#include <gtest/gtest.h>

namespace vlvpn::shell {
namespace {

TEST(MenuModel, ReadsTheCompactModel) {
  const auto model = parseMenuModel(
      R"({"connected":true,"serverLabel":"Oslo","dedicated":[{"id":"d1","label":"Bergen"},{"id":"d2","label":""}]})");
  EXPECT_TRUE(model.connected);
  EXPECT_EQ(model.serverLabel, u"Oslo");
  ASSERT_EQ(model.dedicatedServers.size(), 2u);
  EXPECT_EQ(model.dedicatedServers[0], (DedicatedServerEntry{"d1", u"Bergen"}));
  EXPECT_EQ(model.dedicatedServers[1], (DedicatedServerEntry{"d2", u"d2"})) << "an empty label shows the id";
}

TEST(MenuModel, UnderstandsOnlyWhatIsWrittenCompactly) {
  EXPECT_FALSE(parseMenuModel(R"({"connected": true})").connected) << "a space after the colon";
  EXPECT_FALSE(parseMenuModel(R"({"connected":True})").connected);
  EXPECT_EQ(parseMenuModel(R"({"serverLabel": "Oslo"})").serverLabel, u"");
  EXPECT_EQ(parseMenuModel(R"({"serverLabel":"Os\"lo"})").serverLabel, u"Os\\") << "an escaped quote ends the label";
  EXPECT_EQ(parseMenuModel(R"({"serverLabel":"Caf\u00e9"})").serverLabel, u"Caf\\u00e9") << "escapes shown as written";
  EXPECT_EQ(parseMenuModel(R"({"serverLabel":"Zürich"})").serverLabel, u"Z\u00fcrich");
  EXPECT_EQ(parseMenuModel(R"({"serverLabel":"open)").serverLabel, u"") << "no closing quote";
  EXPECT_EQ(parseMenuModel(R"({"serverLabel":")").serverLabel, u"") << "nothing after the pattern";
}

TEST(MenuModel, SkipsMalformedDedicatedEntries) {
  const auto model = parseMenuModel(
      R"({"dedicated":[{"label":"no id"},{"id":7,"label":"numeric id"},{"id":"ok"},{"id":"","label":"empty"}]})");
  ASSERT_EQ(model.dedicatedServers.size(), 1u);
  EXPECT_EQ(model.dedicatedServers[0], (DedicatedServerEntry{"ok", u"ok"}));
  EXPECT_TRUE(parseMenuModel(R"({"dedicated":[]})").dedicatedServers.empty());
  EXPECT_TRUE(parseMenuModel(R"({"servers":[{"id":"x"}]})").dedicatedServers.empty()) << "no dedicated key";
  EXPECT_TRUE(parseMenuModel(R"({"dedicated":[{"id":"x")").dedicatedServers.empty()) << "no closing bracket";
  EXPECT_TRUE(parseMenuModel(R"("dedicated")").dedicatedServers.empty()) << "too short to hold a list";
  // The id keeps its bytes exactly, escapes and all.
  EXPECT_EQ(parseMenuModel(R"({"dedicated":[{"id":"a\\b"}]})").dedicatedServers.at(0).id, "a\\\\b");
}

TEST(TrayTexts, TooltipAndBalloonSayTheState) {
  TrayMenuModel model;
  EXPECT_EQ(buildTooltip(model), u"Velmora VPN - Disconnected");
  EXPECT_FALSE(balloonForHiddenWindow(model)) << "no balloon while disconnected";
  model.connected = true;
  EXPECT_EQ(buildTooltip(model), u"Velmora VPN - Connected");
  EXPECT_EQ(balloonForHiddenWindow(model)->text, u"Your VPN tunnel remains active in the background.");
  model.serverLabel = u"Oslo";
  EXPECT_EQ(buildTooltip(model), u"Velmora VPN - Connected (Oslo)");
  const auto balloon = balloonForHiddenWindow(model);
  ASSERT_TRUE(balloon);
  EXPECT_EQ(balloon->title, u"Velmora VPN is still connected");
  EXPECT_EQ(balloon->text, u"Protected via Oslo.");

  model.serverLabel = std::u16string(200, u'x');
  const auto tooltip = buildTooltip(model);
  EXPECT_EQ(tooltip.size(), kTooltipUnits);
  EXPECT_EQ(tooltip.substr(0, 25), u"Velmora VPN - Connected (");
}

std::vector<std::u16string> texts(const std::vector<TrayMenuItem>& items) {
  std::vector<std::u16string> out;
  for (const auto& item : items) out.push_back(item.kind == TrayMenuItem::Kind::Separator ? u"-" : item.text);
  return out;
}

TEST(TrayMenu, DisconnectedOffersQuickConnectAndNoDisconnect) {
  TrayMenuModel model;
  const auto menu = buildTrayMenu(model);
  EXPECT_EQ(texts(menu), (std::vector<std::u16string>{u"Not connected", u"-", u"Quick Connect", u"-",
                                                      u"Dedicated Servers", u"-", u"Open Velmora VPN", u"-",
                                                      u"Exit Velmora VPN"}));
  EXPECT_FALSE(menu[0].enabled) << "the status line is never a command";
  EXPECT_TRUE(menu[2].enabled);
  EXPECT_EQ(menu[2].command, kTrayQuickConnect);
  const TrayMenuItem& dedicated = menu[4];
  EXPECT_FALSE(dedicated.enabled) << "grey with no entries";
  ASSERT_EQ(dedicated.children.size(), 1u);
  EXPECT_EQ(dedicated.children[0].text, u"None available");
  EXPECT_FALSE(dedicated.children[0].enabled);
  EXPECT_EQ(menu[6].command, kTrayOpenApp);
  EXPECT_EQ(menu[8].command, kTrayExit);
}

TEST(TrayMenu, ConnectedGreysEveryConnectAndOffersDisconnect) {
  TrayMenuModel model;
  model.connected = true;
  model.serverLabel = u"Oslo";
  model.dedicatedServers = {{"d1", u"Bergen"}, {"d2", u"Tromsø"}};
  const auto menu = buildTrayMenu(model);
  EXPECT_EQ(texts(menu), (std::vector<std::u16string>{u"Connected: Oslo", u"-", u"Quick Connect", u"Disconnect",
                                                      u"-", u"Dedicated Servers", u"-", u"Open Velmora VPN", u"-",
                                                      u"Exit Velmora VPN"}));
  EXPECT_FALSE(menu[2].enabled);
  EXPECT_TRUE(menu[3].enabled);
  EXPECT_EQ(menu[3].command, kTrayDisconnect);
  const TrayMenuItem& dedicated = menu[5];
  EXPECT_TRUE(dedicated.enabled);
  ASSERT_EQ(dedicated.children.size(), 2u);
  EXPECT_EQ(dedicated.children[1].text, u"Tromsø");
  EXPECT_EQ(dedicated.children[1].command, kTrayDedicatedFirst + 1);
  EXPECT_FALSE(dedicated.children[1].enabled) << "no other server while connected";

  model.serverLabel.clear();
  EXPECT_EQ(buildTrayMenu(model)[0].text, u"Connected");
}

TEST(TrayMenu, EachCommandMapsToItsAction) {
  TrayMenuModel model;
  model.dedicatedServers = {{"d1", u"Bergen"}, {"d2", u"Oslo"}};
  EXPECT_EQ(actionForCommand(kTrayQuickConnect, model), (TrayAction{"quickConnect", "", false, false}));
  EXPECT_EQ(actionForCommand(kTrayDisconnect, model), (TrayAction{"disconnect", "", false, false}));
  EXPECT_EQ(actionForCommand(kTrayOpenApp, model), (TrayAction{"openApp", "", true, false}));
  EXPECT_EQ(actionForCommand(kTrayExit, model), (TrayAction{"", "", false, true}));
  EXPECT_EQ(actionForCommand(kTrayDedicatedFirst + 1, model), (TrayAction{"connectDedicated", "d2", false, false}));
  EXPECT_FALSE(actionForCommand(kTrayDedicatedFirst + 2, model)) << "past the list";
  EXPECT_FALSE(actionForCommand(0, model)) << "a dismissed menu";
}

}  // namespace
}  // namespace vlvpn::shell
