#include "ui/frm_about.h"

#include <string>
#include <string_view>

#include "compression/signature.h"
#include "seams/services.h"
#include "support/options.h"
#include "support/statistics.h"
#include "ui/frm_options.h"
#include "ui/frm_outlook.h"
#include "ui/links.h"

namespace parvex::ui {
namespace {

constexpr std::string_view kVersionDigits = "100";
// Over the check box while a stored option cannot be read and its safe value holds.
constexpr const char* kOptionsDamaged = "Options file damaged";

}  // namespace

frm_about::frm_about() {
  caption = "About us";
  client_width = 5700;
  client_height = 6030;

  Command4.caption = "show outlook";
  place(Command4, "Command4", 6000, 6000, 735, 615, 10);
  Text1.text = "Text1";
  Text1.multi_line = true;
  place(Text1, "Text1", 240, 6120, 4575, 1455, 9);
  Command3.caption = "Command3";
  place(Command3, "Command3", 4920, 6720, 735, 255, 8);
  place(Timer1, "Timer1", 5160, 120, 0, 0, std::nullopt);
  Timer1.enabled = false;
  Command2.caption = "Save";
  place(Command2, "Command2", 4920, 6360, 735, 255, 6);
  cmd_email.caption = "Email us:";
  place(cmd_email, "cmd_email", 3840, 2160, 1815, 375, 3);
  cmd_visit.caption = "Visit our &Website";
  place(cmd_visit, "cmd_visit", 3840, 2640, 1815, 375, 2);
  Command1.caption = "&Hide me";
  place(Command1, "Command1", 3840, 3120, 1815, 1095, 0);
  parvex_chk.caption = "Is enabled";
  parvex_chk.value = 1;
  place(parvex_chk, "parvex_chk", 2040, 2760, 1815, 255, 11);
  Image2.picture = "notice.jpg";
  Image2.pixel_width = 321;
  Image2.pixel_height = 60;
  place(Image2, "Image2", 120, 1800, 4815, 900, std::nullopt);
  Image3.picture = "disclaimer.jpg";
  Image3.pixel_width = 365;
  Image3.pixel_height = 112;
  place(Image3, "Image3", 120, 4320, 5475, 1680, std::nullopt);
  lbl_Saving.caption = "Saving:";
  place(lbl_Saving, "lbl_Saving", 240, 3840, 3495, 375, 7);
  lbl_totalzip.caption = "TotalZip:";
  place(lbl_totalzip, "lbl_totalzip", 240, 3480, 3495, 255, 5);
  lbl_totalbytes.caption = "TotalBytes:";
  place(lbl_totalbytes, "lbl_totalbytes", 240, 3120, 3495, 255, 4);
  Label1.caption = "Version:";
  place(Label1, "Label1", 240, 2760, 1455, 255, 1);
  Image1.picture = "logo.bmp";
  Image1.pixel_width = 287;
  Image1.pixel_height = 103;
  place(Image1, "Image1", 600, 120, 4305, 1545, std::nullopt);
  // In the free strip right of the logo, last in the tab order: nothing else moves.
  cmd_options.caption = "&Options";
  place(cmd_options, "cmd_options", 4920, 1320, 735, 375, 12);
  // Between the notice picture and the check box it explains.
  lbl_policy.caption = std::string(kSetByAdministrator);
  lbl_policy.visible = false;
  place(lbl_policy, "lbl_policy", 2040, 2700, 1800, 195, std::nullopt);

  on_click = [this] { open_address(handle, kProductWebPage); };
  cmd_visit.on_click = on_click;
  cmd_email.on_click = [this] { open_address(handle, kContactMail); };
  Image1.on_click = [this] {
    const auto parent = handle;  // the save's message box may let this window close
    Timer1_Timer();
    open_address(parent, kProductWebPage);
  };
  Command1.on_click = [this] { Hide(); };
  Command4.on_click = [] { touch<frm_outlook>().Show(); };
  cmd_options.on_click = [] { touch<frm_options>().Show(); };
  Command2.on_click = [] {
    EncodeSignature();
    SignatureText();
  };
}

void frm_about::load() {
  ReadStatistics();
  // "100" reads Version:1.00.
  Label1.caption = "Version:" + std::string(kVersionDigits.substr(0, 1)) + "." +
                   std::string(kVersionDigits.substr(1, 2));
  show_policies(read_policies());
}

void frm_about::show_policies(const Policies& fixed) {
  if (fixed.compression) parvex_chk.value = *fixed.compression ? 1 : 0;
  parvex_chk.enabled = !fixed.compression;
  std::string damaged;
  read_options(&damaged);
  lbl_policy.caption = fixed.compression ? std::string(kSetByAdministrator) : kOptionsDamaged;
  lbl_policy.visible = fixed.compression.has_value() || !damaged.empty();
  // The label needs the check box a little lower to clear the notice picture; without it
  // the box keeps its usual place.
  parvex_chk.top = lbl_policy.visible ? 2895 : 2760;
  parvex_chk.height = lbl_policy.visible ? 225 : 255;
}

void frm_about::unload_handler() {
  WriteStatistics();
}

}  // namespace parvex::ui

namespace parvex {

std::string EncodeSignature() {
  const std::string digits = sample_signature_digits();
  ui::touch<ui::frm_about>().Text1.text = digits;
  services().set_clipboard_text(digits);
  return digits;
}

}  // namespace parvex
