#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "addin_fixture.h"
#include "platform/fs.h"
#include "sim/sim_outlook.h"
#include "tracking/window_tracking.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

using testing::line;

class ConnectTest : public testing::HostTest {
 protected:
  std::shared_ptr<sim::SimCommandBar> standard_bar(const std::shared_ptr<sim::SimExplorer>& e) {
    return e->command_bars()->bar("standard");
  }
};

TEST_F(ConnectTest, ConnectsInOrderAndReleasesEverythingAtHostExit) {
  const auto inbox = outlook_.open_explorer("Inbox");
  outlook_.open_inspector(outlook_.new_mail("open before connection"), "open - Message");
  Connect connect;
  connect.OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin());
  EXPECT_EQ(outlook_.addin_object().get(), static_cast<void*>(&connect));
  // The working folder exists from the start, so the file list could take it.
  EXPECT_TRUE(fs::is_folder(dir / "Attachments"));
  EXPECT_EQ(ui::touch<ui::frm_outlook>().File1.path, dir / "Attachments");
  EXPECT_FALSE(ui::touch<ui::frm_outlook>().visible);
  EXPECT_FALSE(ui::touch<ui::frm_about>().visible);
  EXPECT_TRUE(ui::touch<ui::frm_ab>().visible);

  const auto bar = standard_bar(inbox);
  ASSERT_EQ(bar->buttons().size(), 1u);
  const auto button = bar->buttons()[0];
  EXPECT_EQ(button->caption(), "&Parvex now");
  EXPECT_TRUE(button->enabled());
  EXPECT_TRUE(button->temporary());
  EXPECT_TRUE(bar->visible());
  button->click();
  EXPECT_TRUE(ui::touch<ui::frm_about>().visible);

  connect.OnStartupComplete();
  connect.OnAddInsUpdate();
  const size_t calls = outlook_.calls().size();
  connect.OnBeginShutdown();
  EXPECT_EQ(outlook_.calls().size(), calls);
  EXPECT_EQ(log(), (std::vector<std::string>{line("Addin init"), line("Addin StartupComplete."),
                                             line("Addin update."), line("Addin BeginShutdown.")}));
  // The trackers still run between begin-shutdown and disconnection.
  outlook_.open_inspector(outlook_.new_item(40, "Ana"), "Ana - Contact");
  EXPECT_EQ(log().back(), line("Inspector: Ana - Contact"));

  connect.OnDisconnection(host::DisconnectMode::HostShutdown);
  EXPECT_EQ(connect.inspector_tracker(), nullptr);
  EXPECT_EQ(outlook_.counters().references, 0);
  EXPECT_EQ(outlook_.counters().subscriptions, 0);
  EXPECT_FALSE(ui::exists<ui::frm_outlook>());
  button->click();  // the button stays, but nothing of ours answers it
  EXPECT_FALSE(ui::exists<ui::frm_about>());
}

TEST_F(ConnectTest, WithoutAMainWindowConnectionStopsAtTheToolbarLeavingTheRestRunning) {
  Connect connect;
  EXPECT_THROW(
      connect.OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin()),
      Failure);
  EXPECT_NE(connect.application(), nullptr);
  EXPECT_EQ(connect.button(), nullptr);
  EXPECT_TRUE(ui::touch<ui::frm_ab>().visible);
  const auto inbox = outlook_.open_explorer("Inbox");
  EXPECT_TRUE(standard_bar(inbox)->buttons().empty());
  EXPECT_EQ(log().back(), line("Adaugare explorer: Inbox"));
  connect.OnDisconnection(host::DisconnectMode::UserClosed);
  // Without begin-shutdown the connection's own references stay until it is destroyed.
  EXPECT_GT(outlook_.counters().references, 0);
}

TEST_F(ConnectTest, ReconnectingGreetsAgainAndAddsAnotherButton) {
  // A disconnection without a connection still shuts fresh trackers down.
  gobjOutlook() = outlook_.application();
  Connect().OnDisconnection(host::DisconnectMode::HostShutdown);
  EXPECT_EQ(outlook_.counters().references, 0);

  const auto inbox = outlook_.open_explorer("Inbox");
  for (int round = 1; round <= 2; ++round) {
    Connect connect;
    connect.OnConnection(outlook_.application(), host::ConnectMode::AfterStartup, outlook_.addin());
    EXPECT_TRUE(ui::touch<ui::frm_ab>().visible);
    EXPECT_EQ(standard_bar(inbox)->buttons().size(), static_cast<size_t>(round));
    ui::unload<ui::frm_ab>();  // the user closes the greeting
    connect.OnBeginShutdown();
    connect.OnDisconnection(host::DisconnectMode::UserClosed);
  }
}

}  // namespace
}  // namespace parvex
