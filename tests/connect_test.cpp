// The connection, and the window trackers it starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "addin/connect.h"
#include "addin_fixture.h"
#include "seams/fs.h"
#include "sim/sim_outlook.h"
#include "tracking/trackers.h"
#include "tracking/window_tracking.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

using testing::line;

using ConnectTest = testing::HostTest;

// The host objects still held, and the subscriptions still open.
using Held = std::pair<int64_t, int64_t>;
Held held(const sim::SimOutlook& outlook) {
  return {outlook.counters().references, outlook.counters().subscriptions};
}

TEST_F(ConnectTest, ConnectsInOrderAndReleasesEverythingAtHostExitThenConnectsAgain) {
  // A disconnection without a connection still shuts fresh trackers down.
  gobjOutlook() = outlook_.application();
  Connect().OnDisconnection(host::DisconnectMode::HostShutdown);
  EXPECT_EQ(outlook_.counters().references, 0);

  const auto inbox = outlook_.open_explorer("Inbox");
  outlook_.open_inspector(outlook_.new_mail("open before connection"), "open - Message");
  Connect connect;
  connect.OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin());
  EXPECT_EQ(outlook_.addin_object().get(), static_cast<void*>(&connect));
  // The working folder exists from the start, so the file list could take it.
  EXPECT_TRUE(fs::is_folder(dir / "Attachments"));
  EXPECT_EQ(ui::touch<ui::frm_outlook>().File1.path, dir / "Attachments");
  // Of the windows only the greeting shows.
  EXPECT_EQ(std::tuple(ui::touch<ui::frm_outlook>().visible, ui::touch<ui::frm_about>().visible,
                       ui::touch<ui::frm_ab>().visible),
            std::tuple(false, false, true));

  const auto bar = inbox->command_bars()->bar("standard");
  ASSERT_EQ(bar->buttons().size(), 1u);
  const auto button = bar->buttons()[0];
  EXPECT_EQ(std::tuple(button->caption(), button->enabled(), button->temporary(), bar->visible()),
            std::tuple("&Parvex now", true, true, true));
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
  EXPECT_EQ(held(outlook_), Held(0, 0));
  EXPECT_FALSE(ui::exists<ui::frm_outlook>());
  button->click();  // the button stays, but nothing of ours answers it
  EXPECT_FALSE(ui::exists<ui::frm_about>());

  // Connecting again greets again and adds another button.
  ui::unload<ui::frm_ab>();
  Connect again;
  again.OnConnection(outlook_.application(), host::ConnectMode::AfterStartup, outlook_.addin());
  EXPECT_TRUE(ui::touch<ui::frm_ab>().visible);
  EXPECT_EQ(bar->buttons().size(), 2u);
  again.OnBeginShutdown();
  again.OnDisconnection(host::DisconnectMode::UserClosed);
}

// No main window, or a toolbar refusing the button, fails no connection: the button comes with
// the first main window that takes it.
TEST_F(ConnectTest, AStartWithoutAToolbarConnectsAndTheButtonComesWithTheFirstMainWindow) {
  for (const bool bars_fail : {false, true}) {
    SCOPED_TRACE(bars_fail);
    sim::SimOutlook outlook;
    std::shared_ptr<sim::SimExplorer> refusing;
    if (bars_fail) {
      refusing = outlook.open_explorer("Refusing");
      outlook.fail("Explorer.CommandBars");
    }
    Connect connect;
    connect.OnConnection(outlook.application(), host::ConnectMode::External, outlook.addin());
    connect.OnStartupComplete();
    outlook.stop_failing();
    EXPECT_EQ(connect.button(), nullptr);
    EXPECT_TRUE(ui::touch<ui::frm_ab>().visible);
    const auto inbox = outlook.open_explorer("Inbox");
    const auto calendar = outlook.open_explorer("Calendar");
    EXPECT_EQ(inbox->command_bars()->bar("standard")->buttons().size(), 1u);
    EXPECT_TRUE(calendar->command_bars()->bar("standard")->buttons().empty());
    EXPECT_EQ(log().back(), line("Adaugare explorer: Calendar"));
    if (bars_fail) {
      EXPECT_TRUE(refusing->command_bars()->bar("standard")->buttons().empty());
      EXPECT_NE(std::find(log().begin(), log().end(),
                          line("Toolbar button not made: The host call Explorer.CommandBars "
                               "failed.")),
                log().end());
    }
    connect.OnBeginShutdown();
    connect.OnDisconnection(host::DisconnectMode::HostShutdown);
    EXPECT_EQ(held(outlook), Held(0, 0));
  }
}

// Both trackers started as the connection starts them; shutdown(), also when they go, as the
// disconnection stops them.
struct Trackers {
  explicit Trackers(const host::Ref<host::Application>& app) {
    explorers.Init(app);
    inspectors.Init(app);
  }
  ~Trackers() { shutdown(); }
  void shutdown() {
    inspectors.Shutdown();
    explorers.Shutdown();
  }
  clsOutlookExplorerEvents explorers;
  clsOutlookInspectorEvents inspectors;
};

using TrackingTest = testing::HostTest;

// Every new window registers, even when its steps fail; only readable mail is subscribed.
TEST_F(TrackingTest, NewInspectorsRegisterButOnlyReadableMailTakesTheSubscription) {
  Trackers trackers(outlook_.application());
  const auto mail = outlook_.new_mail("report");
  outlook_.open_inspector(mail, "report - Message");
  const auto bound = trackers.inspectors.objMailItem();
  outlook_.open_inspector(outlook_.new_item(40, "Ana Pop"), "Ana Pop - Contact");
  outlook_.fail("Item.Class", 1);
  outlook_.open_inspector(outlook_.new_mail("unreadable"), "unreadable - Message");
  outlook_.fail("Inspector.CurrentItem", 1);
  outlook_.fail("Inspector.Caption", 1);
  outlook_.open_inspector(outlook_.new_mail("x"), "x - Message");  // skipped steps log nothing

  EXPECT_EQ(trackers.inspectors.objMailItem(), bound);
  EXPECT_TRUE(outlook_.event_failures().empty());
  EXPECT_EQ(moduleOutlookInspector::instance().wrappers().size(), 4u);
  EXPECT_EQ(log(), (std::vector<std::string>{line("Inspector: report - Message"),
                                             line("Inspector: Ana Pop - Contact"),
                                             line("Inspector: unreadable - Message")}));
  clear_log();
  outlook_.read(mail);
  EXPECT_EQ(log(), (std::vector<std::string>{line("objMailItem_Read"), line("# attachmen = 0")}));
}

// Init registers the window that is open; a later Startup registers it again.
TEST_F(TrackingTest, DoubleRegisteredWindowsCloseTwiceAndLeaveNothingRegistered) {
  const auto explorer = outlook_.open_explorer("Inbox - Outlook");
  const auto inspector = outlook_.open_inspector(outlook_.new_mail("m"), "m - Message");
  Trackers trackers(outlook_.application());
  outlook_.raise_startup();
  EXPECT_TRUE(outlook_.event_failures().empty());
  EXPECT_EQ(log(), (std::vector<std::string>{line("Obiect_Startup."), line("Start obiect.")}));
  clear_log();

  const auto& explorer_keys = moduleOutlookExplorer::instance().wrappers();
  const auto& inspector_keys = moduleOutlookInspector::instance().wrappers();
  ASSERT_EQ(explorer_keys.size(), 2u);
  EXPECT_TRUE(explorer_keys.count("0") && explorer_keys.count("1"));
  ASSERT_EQ(inspector_keys.size(), 2u);

  // With the main window still open, both inspector wrappers say the add-in stays.
  outlook_.close(inspector);
  EXPECT_EQ(log(), (std::vector<std::string>{
                       line("m - Message inchis."), line("Obiect ramas in memorie"),
                       line("m - Message inchis."), line("Obiect ramas in memorie")}));
  EXPECT_TRUE(inspector_keys.empty());
  clear_log();

  // The first explorer wrapper clears the shared reference; the second finds it empty, which like
  // any failed count takes the clearing branch: no line says the add-in stays.
  outlook_.close(explorer);
  EXPECT_EQ(log(), (std::vector<std::string>{line("Inbox - Outlook inchis"),
                                             line("Inbox - Outlook inchis")}));
  EXPECT_TRUE(explorer_keys.empty());
  EXPECT_EQ(gobjOutlook(), nullptr);
}

TEST_F(TrackingTest, ClosingLinesDependOnTheMainWindowsLeft) {
  const auto inbox = outlook_.open_explorer("Inbox");
  Trackers trackers(outlook_.application());
  const auto calendar = outlook_.open_explorer("Calendar");
  clear_log();

  outlook_.close(calendar);  // two counted: the other one keeps the host running
  EXPECT_EQ(log(), (std::vector<std::string>{
                       line("Calendar inchis"),
                       line("Object ramas in mem si tine de asemenea Outlook pornit")}));
  EXPECT_NE(gobjOutlook(), nullptr);

  // One main window still counted while it closes: that is the last one.
  const auto memo = outlook_.open_inspector(outlook_.new_mail("memo"), "memo");
  clear_log();
  outlook_.close(inbox);
  EXPECT_EQ(log(), std::vector<std::string>{line("Inbox inchis")});
  EXPECT_EQ(gobjOutlook(), nullptr);
  clear_log();

  // An inspector closing with no main window left clears a shared reference still set.
  gobjOutlook() = outlook_.application();
  outlook_.close(memo);
  EXPECT_EQ(log(), std::vector<std::string>{line("memo inchis.")});
  EXPECT_EQ(gobjOutlook(), nullptr);
}

TEST_F(TrackingTest, KillRefusesAStrangerAndAStartupFailureGoesBackToTheHost) {
  outlook_.open_explorer("Inbox");
  Trackers trackers(outlook_.application());
  clsExplorerWrapper stranger;
  const Failure f = testing::failure_of([&] { KillExplorer(0, &stranger); });
  EXPECT_EQ(f.number(), 1);
  EXPECT_EQ(f.description(), "Unexpected Error in KillExplorer");
  EXPECT_THROW(KillExplorer(7, &stranger), Failure);
  EXPECT_EQ(moduleOutlookExplorer::instance().wrappers().size(), 1u);

  // The inspector side's startup failure goes back to the host.
  clear_log();
  outlook_.fail("Inspectors.Count", 1);
  outlook_.fail("Explorers.Count", 1);
  outlook_.raise_startup();
  // The explorer side skipped the failing test and ran its guarded step anyway.
  EXPECT_EQ(moduleOutlookExplorer::instance().wrappers().size(), 2u);
  ASSERT_EQ(outlook_.event_failures().size(), 1u);
  EXPECT_EQ(outlook_.event_failures()[0].source(), "Outlook");
  EXPECT_EQ(log(), (std::vector<std::string>{line("Obiect_Startup."), line("Start obiect.")}));
}

TEST_F(TrackingTest, NothingOutlivesItsOwner) {
  outlook_.open_explorer("Inbox");
  outlook_.open_inspector(outlook_.new_mail("memo"), "memo");
  {
    Trackers trackers(outlook_.application());
    outlook_.close(outlook_.open_inspector(outlook_.new_item(26, "meeting"), "meeting"));
    // Keys are never reused: memo holds "0", the closed meeting had "1".
    const auto c = outlook_.open_inspector(outlook_.new_item(40, "c"), "c");
    EXPECT_EQ(moduleOutlookInspector::instance().wrappers().count("2"), 1u);
    outlook_.close(c);
    trackers.shutdown();
    // The two registered wrappers hold their windows (Activate and Close each, and the main
    // window's InlineResponse); the last reported inspector goes with the tracker, not with
    // Shutdown.
    EXPECT_EQ(held(outlook_), Held(3, 5));
  }
  EXPECT_EQ(outlook_.counters().references, 2);
  ProgramState::reset();  // unloading the add-in's program state lets go of the rest
  EXPECT_EQ(held(outlook_), Held(0, 0));
}

}  // namespace
}  // namespace parvex
