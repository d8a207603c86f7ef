#include "addin/connect.h"

#include <atomic>
#include <utility>

#include "addin/assembly.h"
#include "compression/mail_send.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "support/probes.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/log_file.h"

namespace parvex {
using host::required;

Connect::Connect(std::function<std::shared_ptr<void>()> host_object)
    : host_object_(std::move(host_object)) {
  if (!host_object_) {
    host_object_ = [this] { return std::shared_ptr<void>(std::shared_ptr<void>(), this); };
  }
  assemble();
}

Connect::~Connect() {
  release_host();
  oExplorerEvents.reset();
  oInspectorEvents.reset();
}

void Connect::OnConnection(host::Ref<host::Application> Application, host::ConnectMode mode,
                           host::Ref<host::AddIn> AddInInst) {
  auto& outlook = ui::touch<ui::frm_outlook>();
  // The file list refuses a missing folder, and on a fresh install nothing has made it yet.
  const std::string folder = compression::working_folder();
  attempt([&] { crash_notice_ = compression::recover_interrupted_send(); });
  compression::make_working_folder();
  outlook.File1.set_path(folder);
  ui::touch<ui::frm_about>();
  ui::touch<ui::frm_ab>().Show();
  LogEvent("Addin init");
  // Connected after the host's start, no startup-complete event follows.
  if (mode != host::ConnectMode::Startup) tell_crash_notice();
  // Said once a process, and saved at once: the folder that holds the files tells why.
  static std::atomic<bool> folder_noted{false};
  if (const std::string note = services().addin_folder_note();
      !note.empty() && !folder_noted.exchange(true)) {
    LogEvent(note);
    attempt([&] { ui::save_event_log(outlook.list_log); });
  }
  required(AddInInst).SetObject(host_object_());
  if (!oExplorerEvents) oExplorerEvents = std::make_unique<clsOutlookExplorerEvents>();
  oExplorerEvents->Init(Application);
  if (!oInspectorEvents) oInspectorEvents = std::make_unique<clsOutlookInspectorEvents>();
  oInspectorEvents->Init(Application);
  oApp = Application;
  oNS = required(oApp).GetNamespace("MAPI");
  // A reply in the reading pane or a program's Send has no window whose item the tracker
  // binds: only the application hears of those sends.
  attempt([&] {
    item_send_events_ = required(oApp).OnItemSend([this](host::Ref<host::Item> item, bool& cancel) {
      oApp_ItemSend(std::move(item), cancel);
    });
  });
  // A host that asked for the main window's ribbon gets no toolbar button: one entry point.
  if (ribbon_.explorer_asked()) return;
  // A host started by another program has no main window yet.
  host::Ref<host::Explorer> explorer;
  attempt([&] { explorer = required(oApp).ActiveExplorer(); });
  if (!explorer || !add_button(explorer)) wait_for_main_window();
}

bool Connect::add_button(const host::Ref<host::Explorer>& explorer) {
  bool made = false;
  report_failure(
      [&] {
        oStandardBar = required(required(explorer).GetCommandBars()).GetItem("standard");
        required(oStandardBar).SetVisible(true);
        oAbout = required(required(oStandardBar).GetControls()).Add(host::kControlButton, true);
        about_events_ = required(oAbout).OnClick(
            [this](host::Ref<host::CommandBarButton> ctrl, bool& cancel_default) {
              oAbout_Click(std::move(ctrl), cancel_default);
            });
        oAbout->SetCaption("&Parvex now");
        oAbout->SetEnabled(true);
        made = true;
      },
      [&](const Failure& failure) {
        about_events_.reset();
        oAbout.reset();
        oStandardBar.reset();
        LogEvent("Toolbar button not made: " + failure.description());
      });
  return made;
}

void Connect::wait_for_main_window() {
  if (new_explorer_events_) return;
  attempt([&] {
    colExplorers_ = required(oApp).GetExplorers();
    new_explorer_events_ =
        required(colExplorers_).OnNewExplorer([this](host::Ref<host::Explorer> explorer) {
          // Heard until the connection lets go of the host; one button is enough.
          if (!oAbout && !ribbon_.explorer_asked()) add_button(explorer);
        });
  });
}

void Connect::oApp_ItemSend(host::Ref<host::Item> Item, bool& Cancel) {
  send_once(SendEvent::application, Item, Cancel);
}

void Connect::release_host() {
  ribbon_.release();
  // Subscriptions end before the objects they belong to are released.
  new_explorer_events_.reset();
  colExplorers_.reset();
  item_send_events_.reset();
  about_events_.reset();
  oAbout.reset();
  oStandardBar.reset();
  oNS.reset();
  oApp.reset();
  forget_sends();
}

void Connect::OnDisconnection(host::DisconnectMode) {
  attempt([&] {
    if (!oExplorerEvents) oExplorerEvents = std::make_unique<clsOutlookExplorerEvents>();
    oExplorerEvents->Shutdown();
  });
  attempt([&] {
    if (!oInspectorEvents) oInspectorEvents = std::make_unique<clsOutlookInspectorEvents>();
    oInspectorEvents->Shutdown();
  });
  // Our trackers, windows, registries and libraries go now, on the host's thread, rather than
  // at thread or module exit under the loader lock; but not under a send whose packing let this
  // event run: it still needs them, so they go when it returns. Services a host or test
  // installed stay installed.
  std::shared_ptr<clsOutlookExplorerEvents> explorer = std::move(oExplorerEvents);
  std::shared_ptr<clsOutlookInspectorEvents> inspector = std::move(oInspectorEvents);
  compression::after_send([explorer, inspector]() mutable {
    attempt([&] { explorer.reset(); });
    attempt([&] { inspector.reset(); });
    Services* installed = installed_services();
    ProgramState::reset();
    if (installed) set_services(installed);
  });
}

void Connect::OnAddInsUpdate() {
  LogEvent("Addin update.");
}

void Connect::tell_crash_notice() {
  const std::string text = std::exchange(crash_notice_, {});
  if (text.empty()) return;
  attempt([&] { services().message_box(text, MsgButtons::Ok, MsgIcon::Warning, "Parvex"); });
}

void Connect::OnStartupComplete() {
  LogEvent("Addin StartupComplete.");
  tell_crash_notice();
  if (oAbout || !oApp || ribbon_.explorer_asked()) return;
  host::Ref<host::Explorer> explorer;
  attempt([&] { explorer = oApp->ActiveExplorer(); });
  if (explorer) add_button(explorer);
}

void Connect::OnBeginShutdown() {
  LogEvent("Addin BeginShutdown.");
  release_host();
}

void Connect::oAbout_Click(host::Ref<host::CommandBarButton>, bool&) {
  ui::touch<ui::frm_about>().Show();
}

std::string Connect::GetCustomUI(const std::string& ribbon_id) {
  std::string xml = ribbon_.custom_ui(ribbon_id);
  if (ribbon_.explorer_asked() && oAbout) {
    about_events_.reset();
    attempt([&] { oAbout->Delete(); });
    oAbout.reset();
  }
  return xml;
}

int32_t Connect::GetIDOfName(const std::string& name) {
  return ribbon_.id_of(name);
}

host::RibbonCall Connect::ShapeOf(int32_t id) {
  return ribbon_.shape_of(id);
}

host::RibbonResult Connect::Invoke(int32_t id, host::RibbonCall call,
                                   const host::RibbonArgs& args) {
  return ribbon_.call(id, call, args);
}

}  // namespace parvex
