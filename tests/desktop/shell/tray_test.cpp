// The tray's state and actions, as every platform keeps them.
#include "desktop/shell/tray.h"

#include <gtest/gtest.h>

#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::shell {
namespace {

TEST(TrayState, HidingTheWindowRaisesTheEventAndABalloonOnlyWhileConnected) {
  int hidden = 0;
  tunnel::windowHiddenHook.set([&] { ++hidden; });
  updateTrayMenuModel(R"({"connected":false,"serverLabel":"Oslo"})");
  onMainWindowHidden();
  EXPECT_EQ(hidden, 1);
  EXPECT_FALSE(pendingBalloon()) << "no balloon while disconnected";

  updateTrayMenuModel(R"({"connected":true,"serverLabel":"Oslo"})");
  onMainWindowHidden();
  EXPECT_EQ(hidden, 2);
  ASSERT_TRUE(pendingBalloon());
  EXPECT_EQ(pendingBalloon()->text, u"Protected via Oslo.");
  EXPECT_EQ(trayModel().serverLabel, u"Oslo");
  tunnel::windowHiddenHook.clear();
  updateTrayMenuModel("");
}

TEST(TrayState, ChosenCommandsBecomeMenuBarActions) {
  std::vector<nlohmann::json> actions;
  tunnel::menuActionHook.set([&](const nlohmann::json& payload) { actions.push_back(payload); });
  runTrayAction({"connectDedicated", "d2", false, false});
  runTrayAction({"quickConnect", "", false, false});
  EXPECT_EQ(actions, (std::vector<nlohmann::json>{{{"action", "connectDedicated"}, {"serverId", "d2"}},
                                                  {{"action", "quickConnect"}}}));
  tunnel::menuActionHook.clear();

  setTrayIconVisible(false);
  EXPECT_FALSE(isTrayIconWanted());
  setTrayIconVisible(true);
  EXPECT_TRUE(isTrayIconWanted());
}

}  // namespace
}  // namespace vlvpn::shell
