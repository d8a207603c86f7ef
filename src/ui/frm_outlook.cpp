#include "ui/frm_outlook.h"

#include "compression/mail_send.h"
#include "core/failure.h"
#include "seams/services.h"
#include "ui/log_file.h"

namespace parvex::ui {

frm_outlook::frm_outlook() {
  caption = "Outlook settings";
  client_width = 7635;
  client_height = 3045;

  place(lst_files, "lst_files", 3480, 480, 3855, 1620, 7);
  cmd_ZIP.caption = "ZIP";
  place(cmd_ZIP, "cmd_ZIP", 120, 3960, 1695, 855, 6);
  txt_zipname.text = "Attachments.zip";
  place(txt_zipname, "txt_zipname", 1200, 3120, 2055, 285, 3);
  place(Text1, "Text1", 1200, 3480, 2055, 285, 2);
  place(File1, "File1", 3720, 3120, 3615, 1650, 1);
  place(list_log, "list_log", 120, 120, 7455, 2790, 0);
  Label1.caption = "Zipname";
  place(Label1, "Label1", 120, 3120, 975, 255, 5);
  Label2.caption = "Path";
  place(Label2, "Label2", 120, 3480, 855, 255, 4);

  list_log.on_full = [](ListBox& log) { attempt([&] { save_event_log(log); }); };

  // The send path calls cmd_ZIP_Click itself and handles its failures; a click reports them.
  cmd_ZIP.on_click = [this] {
    // A click handled while a send packs would add to that send's archive.
    if (compression::send_in_progress()) {
      LogEvent("Zip refused while a message is being packed");
      return;
    }
    report_failure([this] { cmd_ZIP_Click(); },
                   [](const Failure& f) {
                     LogEvent("Zip failed: " + f.description());
                     services().message_box(f.description(), MsgButtons::Ok, MsgIcon::Critical, "");
                   });
  };
}

void frm_outlook::Form_QueryUnload(int16_t&, int16_t) {
  Hide();
}

}  // namespace parvex::ui
