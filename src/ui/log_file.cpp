// Saving the event log: the about window's Timer1_Timer, and the save a full log makes itself.
#include "ui/log_file.h"

#include "core/failure.h"
#include "seams/services.h"
#include "support/text_file.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex::ui {

std::string event_log_path() {
  return services().addin_folder() + kPathSep + "ziplogfile.log";
}

void save_event_log(ListBox& log) {
  TextFile file(event_log_path(), OpenMode::Append);
  file.print_line("*****Saved - " + time_stamp() + "*****");
  for (const std::string& line : log.items) file.print_line(line + " 1 ");
  file.print_line(std::string(32, '*'));
  // Cleared only once the block is on disk: a failed save keeps every line for the next one.
  file.close();
  log.Clear();
}

void frm_about::Timer1_Timer() {
  const std::string folder = services().addin_folder();
  report_failure([] { save_event_log(touch<frm_outlook>().list_log); },
                 [&](const Failure&) {
                   services().message_box("seems that " + folder + " is readonly folder...",
                                          MsgButtons::Ok, MsgIcon::None, "");
                 });
}

}  // namespace parvex::ui
