// The about window: version, statistics labels, the enable setting, links to the product's web
// page and contact address, and the event-log save. Reached through ui::touch<frm_about>(),
// which creates it hidden on first use; loading it reads the statistics.
#pragma once

#include <string>

#include "support/policies.h"
#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class frm_about : public Window {
 public:
  frm_about();

  // Outside the client area, reached only through the tab order.
  CommandButton Command4;  // shows the manual zip window
  TextBox Text1;           // receives the digit text of EncodeSignature
  CommandButton Command3;  // no handler
  Timer Timer1;            // never enabled: Timer1_Timer is called directly
  CommandButton Command2;  // the signature aid
  // Inside the client area.
  CommandButton cmd_email;
  CommandButton cmd_visit;
  CommandButton Command1;  // hides the window, keeping the setting
  // The enable setting: 1 checked, 0 cleared; every new instance starts checked.
  CheckBox parvex_chk;
  Image Image2;
  Image Image3;
  // Captions written by ReadStatistics and WriteStatistics.
  Label lbl_Saving;
  Label lbl_totalzip;
  Label lbl_totalbytes;
  Label Label1;               // the version
  Image Image1;               // the logo: saves the event log, then opens the web page
  CommandButton cmd_options;  // shows the options window; right of the logo
  Label lbl_policy;           // shown above parvex_chk while a policy fixes it

  // Appends the event log to its log file and clears the list; when the file cannot be
  // written, says so in a message box and keeps the list.
  void Timer1_Timer();

  // Reads the statistics, then sets the version caption and shows the fixed setting.
  void load() override;
  // An administrator's fixed setting replaces the check box value and locks the box; with none
  // the box is the user's again (its value as it was).
  void show_policies(const Policies& fixed);
  // Writes the statistics.
  void unload_handler() override;
};

}  // namespace parvex::ui

namespace parvex {

// Encodes "...sent using Parvex - " + the web page, puts the digits into the about window's
// Text1 and on the clipboard, and returns them.
std::string EncodeSignature();

}  // namespace parvex
