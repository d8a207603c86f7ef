#include "addin/ribbon.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <string_view>

#include "compression/mail_send.h"
#include "compression/send_windows.h"
#include "core/failure.h"
#include "support/policies.h"
#include "support/statistics.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

using host::RibbonCall;

struct Callback {
  std::string_view name;
  RibbonCall shape;
};

// The members the markup names; the host finds them by name on the add-in object's IDispatch.
constexpr std::array<Callback, 8> kCallbacks{{
    {"Ribbon_Load", RibbonCall::load},
    {"Ribbon_OnAction", RibbonCall::action},
    {"Ribbon_OnToggle", RibbonCall::toggle},
    {"Ribbon_GetPressed", RibbonCall::get_bool},
    {"Ribbon_GetEnabled", RibbonCall::get_bool},
    {"Ribbon_GetSupertip", RibbonCall::get_text},
    {"Ribbon_GetLabel", RibbonCall::get_text},
    {"Ribbon_GetImage", RibbonCall::get_image},
}};
// Clear of the ids a dispatch interface reserves (0 and below).
constexpr int32_t kFirstId = 0x100;

constexpr std::string_view kPackAttachments = "PackAttachments";
constexpr std::string_view kPackAttachmentsInline = "PackAttachmentsInline";
constexpr std::string_view kPackOnSend = "PackOnSend";
constexpr std::string_view kAbout = "ParvexAbout";
constexpr std::string_view kZipWindow = "ParvexZipWindow";
constexpr std::string_view kSaved = "ParvexSaved";

// A toggle on the message being written: its own state, stored on the item.
#define PARVEX_MESSAGE_TOGGLE(id)                                                             \
  "<toggleButton id=\"" id                                                                    \
  "\" label=\"Pack attachments\" size=\"large\""                                              \
  " screentip=\"Pack attachments\" getImage=\"Ribbon_GetImage\" onAction=\"Ribbon_OnToggle\"" \
  " getPressed=\"Ribbon_GetPressed\" getEnabled=\"Ribbon_GetEnabled\""                        \
  " getSupertip=\"Ribbon_GetSupertip\"/>"

constexpr const char* kComposeXml =
    "<customUI xmlns=\"http://schemas.microsoft.com/office/2009/07/customui\""
    " onLoad=\"Ribbon_Load\">"
    "<ribbon><tabs><tab idMso=\"TabNewMailMessage\">"
    "<group id=\"ParvexMessage\" label=\"Parvex\">" PARVEX_MESSAGE_TOGGLE(
        "PackAttachments") "</group></tab></tabs></ribbon></customUI>";

constexpr const char* kExplorerXml =
    "<customUI xmlns=\"http://schemas.microsoft.com/office/2009/07/customui\""
    " onLoad=\"Ribbon_Load\">"
    "<ribbon><tabs><tab idMso=\"TabMail\"><group id=\"ParvexMain\" label=\"Parvex\">"
    "<toggleButton id=\"PackOnSend\" label=\"Pack on send\" size=\"large\""
    " screentip=\"Pack on send\" getImage=\"Ribbon_GetImage\" onAction=\"Ribbon_OnToggle\""
    " getPressed=\"Ribbon_GetPressed\" getEnabled=\"Ribbon_GetEnabled\""
    " getSupertip=\"Ribbon_GetSupertip\"/>"
    "<button id=\"ParvexAbout\" label=\"About Parvex\" getImage=\"Ribbon_GetImage\""
    " supertip=\"Statistics, the setting and the event log\" onAction=\"Ribbon_OnAction\"/>"
    "<button id=\"ParvexZipWindow\" label=\"Zip window\" imageMso=\"FileSaveAs\""
    " supertip=\"Pack files by hand\" onAction=\"Ribbon_OnAction\"/>"
    "<labelControl id=\"ParvexSaved\" getLabel=\"Ribbon_GetLabel\"/>"
    "</group></tab></tabs>"
    // A reply written in the reading pane has the compose tools' Message tab.
    "<contextualTabs><tabSet idMso=\"TabComposeTools\"><tab idMso=\"TabMessage\">"
    "<group id=\"ParvexInline\" label=\"Parvex\">" PARVEX_MESSAGE_TOGGLE(
        "PackAttachmentsInline") "</group></tab></tabSet></contextualTabs></ribbon></customUI>";

#undef PARVEX_MESSAGE_TOGGLE

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool message_toggle(const host::RibbonControl& control) {
  return control.id == kPackAttachments || control.id == kPackAttachmentsInline;
}

// The message the control belongs to: the compose window's, or the reading pane's reply.
host::Ref<host::Item> item_of(const host::RibbonControl& control) {
  if (control.inspector) return control.inspector->CurrentItem();
  if (control.explorer) return control.explorer->ActiveInlineResponse();
  return nullptr;
}

bool packing_on() {
  return compression::send_windows().enabled();
}

[[noreturn]] void unknown_control(const host::RibbonControl& control) {
  raise(err::kInvalidCall, "No ribbon control " + control.id);
}

}  // namespace

Ribbon::Ribbon() {
  compression::set_send_listener([this] { refresh(); });
}

Ribbon::~Ribbon() {
  attempt([] { compression::set_send_listener(nullptr); });
  attempt([] {
    if (ui::exists<ui::frm_about>()) ui::touch<ui::frm_about>().parvex_chk.on_click = nullptr;
  });
}

std::string Ribbon::custom_ui(const std::string& ribbon_id) {
  if (ribbon_id == host::kExplorerRibbon) {
    explorer_asked_ = true;
    return kExplorerXml;
  }
  if (ribbon_id == host::kComposeRibbon) return kComposeXml;
  return {};
}

int32_t Ribbon::id_of(const std::string& name) const {
  for (size_t i = 0; i < kCallbacks.size(); ++i) {
    if (same_name(kCallbacks[i].name, name)) return kFirstId + static_cast<int32_t>(i);
  }
  return 0;
}

host::RibbonCall Ribbon::shape_of(int32_t id) const {
  const int32_t index = id - kFirstId;
  if (index < 0 || index >= static_cast<int32_t>(kCallbacks.size()))
    raise(err::kInvalidCall, "No ribbon callback " + std::to_string(id));
  return kCallbacks[static_cast<size_t>(index)].shape;
}

host::RibbonResult Ribbon::call(int32_t id, RibbonCall shape, const host::RibbonArgs& args) {
  const int32_t index = id - kFirstId;
  if (shape_of(id) != shape)
    raise(err::kInvalidCall,
          std::string(kCallbacks[static_cast<size_t>(index)].name) + " takes other arguments");
  const host::RibbonControl& c = args.control;
  switch (index) {
    case 0:
      on_load(args.ui);
      return {};
    case 1:
      on_action(c);
      return {};
    case 2:
      on_toggle(c, args.pressed);
      return {};
    case 3:
      return get_pressed(c);
    case 4:
      return get_enabled(c);
    case 5:
      return get_supertip(c);
    case 6:
      return get_label(c);
    default:
      return get_image(c);
  }
}

void Ribbon::refresh() {
  for (const auto& ui : uis_) attempt([&] { ui->Invalidate(); });
}

void Ribbon::on_load(host::Ref<host::RibbonUI> ui) {
  if (ui) uis_.push_back(std::move(ui));
  watch_box();
}

void Ribbon::watch_box() {
  // A click on the about window's box changes what the toggles show. A closed window comes back
  // as a new one, without the handler: it is put back whenever the box is read.
  ui::touch<ui::frm_about>().parvex_chk.on_click = [this] { refresh(); };
}

void Ribbon::on_action(const host::RibbonControl& control) {
  if (control.id == kAbout) return ui::touch<ui::frm_about>().Show();
  if (control.id == kZipWindow) return ui::touch<ui::frm_outlook>().Show();
  unknown_control(control);
}

void Ribbon::on_toggle(const host::RibbonControl& control, bool pressed) {
  // Only a stale ribbon offers a fixed setting: it is drawn anew, as it is.
  if (read_policies().compression) return refresh();
  if (control.id == kPackOnSend) {
    auto& box = ui::touch<ui::frm_about>().parvex_chk;
    box.value = pressed ? 1 : 0;
    return refresh();
  }
  if (!message_toggle(control)) unknown_control(control);
  compression::set_pack_choice(host::required(item_of(control)), pressed);
  for (const auto& ui : uis_) attempt([&] { ui->InvalidateControl(control.id); });
}

bool Ribbon::get_pressed(const host::RibbonControl& control) {
  watch_box();
  if (control.id == kPackOnSend) return packing_on();
  if (!message_toggle(control)) unknown_control(control);
  if (const auto fixed = read_policies().compression) return *fixed;
  if (!packing_on()) return false;
  const host::Ref<host::Item> item = item_of(control);
  // A new message starts from the setting.
  return !item || compression::pack_choice(*item).value_or(true);
}

bool Ribbon::get_enabled(const host::RibbonControl& control) {
  if (control.id != kPackOnSend && !message_toggle(control)) return true;
  if (read_policies().compression) return false;
  return control.id == kPackOnSend || packing_on();
}

std::string Ribbon::get_supertip(const host::RibbonControl& control) {
  if (read_policies().compression) return std::string(kSetByAdministrator);
  if (control.id == kPackOnSend)
    return "Packs the attachments of each message sent into one zip archive.";
  if (!message_toggle(control)) unknown_control(control);
  if (!packing_on()) return "Packing is off: turn on Pack on send on the main window.";
  return "Pressed: this message's attachments leave packed into one zip archive. Released: it "
         "leaves exactly as written.";
}

std::string Ribbon::get_label(const host::RibbonControl& control) {
  if (control.id != kSaved) unknown_control(control);
  const StatisticsValues& s = statistics();
  const double saving = s.TotalNormalBytes > 0
                            ? (s.TotalNormalBytes - s.TotalZipBytes) / s.TotalNormalBytes * 100
                            : 0;
  return "Saved " + std::to_string(static_cast<int>(std::lround(std::max(saving, 0.0)))) + " %";
}

host::RibbonImage Ribbon::get_image(const host::RibbonControl& control) {
  const bool large = control.id == kPackOnSend || message_toggle(control);
  return host::RibbonImage{"parvex.ico", large ? 32 : 16};
}

}  // namespace parvex
