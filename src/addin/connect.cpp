#include "addin/connect.h"

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
  ribbon_.release();
  // Subscriptions end before the objects they belong to are released.
  about_events_.reset();
  oAbout.reset();
  oStandardBar.reset();
  oNS.reset();
  oApp.reset();
  oExplorerEvents.reset();
  oInspectorEvents.reset();
}

void Connect::OnConnection(host::Ref<host::Application> Application, host::ConnectMode,
                           host::Ref<host::AddIn> AddInInst) {
  auto& outlook = ui::touch<ui::frm_outlook>();
  // The file list refuses a missing folder, and on a fresh install nothing has made it yet.
  const std::string folder = compression::working_folder();
  fs::ensure_folder(folder);
  outlook.File1.set_path(folder);
  ui::touch<ui::frm_about>();
  ui::touch<ui::frm_ab>().Show();
  LogEvent("Addin init");
  required(AddInInst).SetObject(host_object_());
  if (!oExplorerEvents) oExplorerEvents = std::make_unique<clsOutlookExplorerEvents>();
  oExplorerEvents->Init(Application);
  if (!oInspectorEvents) oInspectorEvents = std::make_unique<clsOutlookInspectorEvents>();
  oInspectorEvents->Init(Application);
  oApp = Application;
  oNS = required(oApp).GetNamespace("MAPI");
  if (ribbon_.explorer_asked()) return;
  oStandardBar =
      required(required(required(oApp).ActiveExplorer()).GetCommandBars()).GetItem("standard");
  required(oStandardBar).SetVisible(true);
  oAbout = required(required(oStandardBar).GetControls()).Add(host::kControlButton, true);
  about_events_ = required(oAbout).OnClick(
      [this](host::Ref<host::CommandBarButton> ctrl, bool& cancel_default) {
        oAbout_Click(std::move(ctrl), cancel_default);
      });
  oAbout->SetCaption("&Parvex now");
  oAbout->SetEnabled(true);
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

void Connect::OnStartupComplete() {
  LogEvent("Addin StartupComplete.");
}

void Connect::OnBeginShutdown() {
  LogEvent("Addin BeginShutdown.");
  about_events_.reset();
  oAbout.reset();
  oStandardBar.reset();
  oNS.reset();
  oApp.reset();
  ribbon_.release();
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

void Connect::oAbout_Click(host::Ref<host::CommandBarButton>, bool&) {
  ui::touch<ui::frm_about>().Show();
}

}  // namespace parvex
