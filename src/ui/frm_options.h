// The window "Options": the user's options (support/options.h), read when the window loads and
// stored by OK. Opened from the about window.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class frm_options : public Window {
 public:
  frm_options();

  CheckBox chk_password;  // ask for a password at each send
  Label lbl_min_saving;
  TextBox txt_min_saving;    // whole percent, 0 to 99
  CommandButton cmd_ok;      // stores the options and closes the window
  CommandButton cmd_cancel;  // closes the window, storing nothing
  Label lbl_policy;          // shown while a policy fixes a control above

  // Shows the stored options, and the fixed ones disabled; a store that cannot be read shows the
  // defaults and logs why.
  void load() override;
  // Stores what the window shows and closes it, keeping the user's own value where a policy
  // fixes one; a value out of range, or a store that cannot be written, is said in a message
  // box and keeps the window open.
  void cmd_ok_Click();
};

}  // namespace parvex::ui
