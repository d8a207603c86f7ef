// The window "Outlook settings": its list is the add-in's event log; its zip action packs the
// working folder into the archive file.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class FrmOutlook : public Window {
 public:
  FrmOutlook() { caption = "Outlook settings"; }
  ListBox list_log;
  // Lists the working folder for the zip action and the send path.
  FileListBox File1;
  TextBox txt_zipname;
  CommandButton cmd_ZIP;

  // Packs every file of File1's folder into the archive file and updates the statistics.
  void cmd_ZIP_Click();
};

}  // namespace parvex::ui

namespace parvex {

// The current local date and time in the user's general date format.
std::string TimeStamp();
// Appends time stamp + " - " + text to the event log, creating its window hidden if needed.
void LogEvent(const std::string& text);

}  // namespace parvex
