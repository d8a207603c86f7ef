// The about window: statistics labels, the enable setting and the signature aid's text box.
// Reached through ui::touch<FrmAbout>(), which creates it hidden on first use.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class FrmAbout : public Window {
 public:
  FrmAbout();

  // Captions written by ReadStatistics and WriteStatistics.
  Label lbl_totalbytes;
  Label lbl_totalzip;
  Label lbl_Saving;
  // Receives the digit text of EncodeSignature.
  TextBox Text1;
  // The enable setting: 1 checked, 0 cleared; every new instance starts checked.
  CheckBox parvex_chk;

  // Appends the event log to its log file and clears the list.
  void Timer1_Timer();

  // Still to come with the rest of this window: the version label, the pictures, the buttons
  // and their clicks, Timer1_Timer, and load (ReadStatistics, then the version caption) and
  // unload (WriteStatistics).
};

}  // namespace parvex::ui
