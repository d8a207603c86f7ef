#include "ui/addin_windows.h"

#include <utility>

#include "support/policies.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"

namespace parvex::ui {

bool AddinWindows::enabled() {
  // The administrator's setting wins over a click or a failed send that changed the box.
  touch<frm_about>().show_policies(read_policies());
  return touch<frm_about>().parvex_chk.value != 0;
}

void AddinWindows::disable() {
  touch<frm_about>().parvex_chk.value = 0;
  touch<frm_about>().Timer1_Timer();
}

std::vector<std::string> AddinWindows::working_files(const std::string& folder) {
  auto& list = touch<frm_outlook>().File1;
  list.set_path(folder);
  return list.items;
}

bool AddinWindows::packing_on() {
  return touch<frm_about>().parvex_chk.value == 1;
}

std::unique_ptr<compression::PackingWatch> AddinWindows::packing_watch(const std::string& subject,
                                                                       std::uintptr_t owner) {
  return zip_action_watch(false, subject, owner);
}

bool AddinWindows::cancel_pressed() {
  return exists<frm_progress>() && touch<frm_progress>().cancelled;
}

void AddinWindows::send_ended() {
  unload<frm_progress>();
}

void AddinWindows::log(const std::string& line) {
  touch<frm_outlook>().list_log.AddItem(log_line_text(line));
}

bool AddinWindows::open() {
  if (exists<frm_about>()) return true;
  touch<frm_about>();
  return false;
}

void AddinWindows::show(std::string total_bytes, std::string total_zip, std::string saving) {
  auto& about = touch<frm_about>();
  about.lbl_totalbytes.caption = std::move(total_bytes);
  about.lbl_totalzip.caption = std::move(total_zip);
  about.lbl_Saving.caption = std::move(saving);
}

AddinWindows& addin_windows() {
  static AddinWindows windows;
  return windows;
}

}  // namespace parvex::ui
