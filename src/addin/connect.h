// Connect: the add-in's connection object. The host drives it through host::Connection; at
// connection it loads the windows, starts both trackers, follows every send (ItemSend) and, for a
// host that has not asked for its ribbon, puts the "&Parvex now" button on the standard toolbar
// of the main window, the first one to open when there is none yet; at begin-shutdown it lets
// go of its host references; at disconnection
// it stops the trackers and drops the thread's program state.
#pragma once

#include <functional>
#include <memory>

#include "addin/ribbon.h"
#include "host/host.h"
#include "host/ribbon.h"
#include "tracking/trackers.h"

namespace parvex {

class Connect final : public host::Connection, public host::RibbonExtensibility {
 public:
  // host_object gives what the host's add-in object receives as its Object (the COM object
  // that owns this Connect, say); by default a reference to this Connect that does not own it.
  explicit Connect(std::function<std::shared_ptr<void>()> host_object = nullptr);
  ~Connect() override;
  Connect(const Connect&) = delete;
  Connect& operator=(const Connect&) = delete;

  // A failing step ends the callback and the failure goes to the host, which then never loads
  // the add-in again: so the toolbar, a window step, never fails it.
  void OnConnection(host::Ref<host::Application> Application, host::ConnectMode ConnectMode,
                    host::Ref<host::AddIn> AddInInst) override;
  // Every step attempted; never raises.
  void OnDisconnection(host::DisconnectMode RemoveMode) override;
  void OnAddInsUpdate() override;
  void OnStartupComplete() override;
  void OnBeginShutdown() override;

  // The ribbon: once the host asks for the main window's, the toolbar button is not made (or
  // goes): one entry point, not two.
  std::string GetCustomUI(const std::string& ribbon_id) override;
  int32_t GetIDOfName(const std::string& name) override;
  host::RibbonCall ShapeOf(int32_t id) override;
  host::RibbonResult Invoke(int32_t id, host::RibbonCall call,
                            const host::RibbonArgs& args) override;

  // The toolbar button: shows the about window, modeless.
  void oAbout_Click(host::Ref<host::CommandBarButton> Ctrl, bool& CancelDefault);
  // Every send, whichever window (or none) it comes from.
  void oApp_ItemSend(host::Ref<host::Item> Item, bool& Cancel);

  // What the connection holds, for the host adapter and tests.
  const host::Ref<host::Application>& application() const { return oApp; }
  const host::Ref<host::CommandBarButton>& button() const { return oAbout; }
  clsOutlookInspectorEvents* inspector_tracker() const { return oInspectorEvents.get(); }
  clsOutlookExplorerEvents* explorer_tracker() const { return oExplorerEvents.get(); }

 private:
  std::function<std::shared_ptr<void>()> host_object_;
  host::Ref<host::Application> oApp;
  host::Ref<host::Namespace> oNS;
  host::Ref<host::CommandBar> oStandardBar;
  host::Ref<host::CommandBarButton> oAbout;
  host::SubscriptionPtr about_events_;
  host::SubscriptionPtr item_send_events_;
  host::Ref<host::Explorers> colExplorers_;  // held only while the button waits for a window
  host::SubscriptionPtr new_explorer_events_;
  std::unique_ptr<clsOutlookExplorerEvents> oExplorerEvents;
  std::unique_ptr<clsOutlookInspectorEvents> oInspectorEvents;
  Ribbon ribbon_;
  // Where a send that died left copies, told once the host has started: a box during the
  // connection would hold up the host's start.
  std::string crash_notice_;

  void tell_crash_notice();
  // Puts the button on the explorer's standard bar; false, with a log line, when it cannot.
  bool add_button(const host::Ref<host::Explorer>& explorer);
  // Makes the button at the first main window to open.
  void wait_for_main_window();
  void release_host();
};

}  // namespace parvex
