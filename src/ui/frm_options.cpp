#include "ui/frm_options.h"

#include <string>

#include "core/failure.h"
#include "seams/services.h"
#include "support/options.h"
#include "support/policies.h"
#include "ui/frm_outlook.h"

namespace parvex::ui {

frm_options::frm_options() {
  caption = "Options";
  client_width = 4320;
  client_height = 2040;

  chk_password.caption = "Ask for a &password at each send";
  place(chk_password, "chk_password", 240, 240, 3855, 255, 0);
  lbl_min_saving.caption = "&Minimum saving in percent:";
  place(lbl_min_saving, "lbl_min_saving", 240, 780, 2895, 255, 1);
  place(txt_min_saving, "txt_min_saving", 3240, 720, 855, 315, 2);
  cmd_ok.caption = "OK";
  place(cmd_ok, "cmd_ok", 1560, 1440, 1215, 375, 3);
  cmd_cancel.caption = "Cancel";
  place(cmd_cancel, "cmd_cancel", 2880, 1440, 1215, 375, 4);
  lbl_policy.caption = std::string(kSetByAdministrator);
  lbl_policy.visible = false;
  place(lbl_policy, "lbl_policy", 240, 1140, 3855, 255, std::nullopt);

  cmd_ok.on_click = [this] { cmd_ok_Click(); };
  // Closes the window, which destroys this object: nothing may follow unload().
  cmd_cancel.on_click = [] { unload<frm_options>(); };
}

void frm_options::load() {
  std::string problem;
  const Options options = read_options(&problem);
  if (!problem.empty()) LogEvent("The options file is damaged: " + problem);
  const Policies fixed = read_policies();
  const Options shown = fixed.over(options);
  chk_password.value = shown.ask_password ? 1 : 0;
  txt_min_saving.text = std::to_string(shown.min_saving);
  chk_password.enabled = !fixed.ask_password;
  txt_min_saving.enabled = !fixed.min_saving;
  lbl_min_saving.enabled = !fixed.min_saving;
  lbl_policy.visible = fixed.fixes_options();
}

void frm_options::cmd_ok_Click() {
  // A fixed value shown here is the administrator's: the user's own stays stored under it.
  Options options = read_options();
  if (chk_password.enabled) options.ask_password = chk_password.value == 1;
  if (txt_min_saving.enabled && !parse_min_saving(txt_min_saving.text, options.min_saving)) {
    services().message_box("The minimum saving is a whole number of percent from 0 to " +
                               std::to_string(kMaxMinSaving) + "; 0 always packs.",
                           MsgButtons::Ok, MsgIcon::Warning, "Options");
    return;
  }
  try {
    write_options(options);
  } catch (...) {
    const std::string why = current_failure().description();
    attempt([&] {
      services().message_box("The options could not be stored: " + why, MsgButtons::Ok,
                             MsgIcon::Warning, "Options");
    });
    return;
  }
  unload<frm_options>();
}

}  // namespace parvex::ui
