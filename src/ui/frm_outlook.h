// The window "Outlook settings": its list is the add-in's event log.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class FrmOutlook : public Window {
 public:
  FrmOutlook() { caption = "Outlook settings"; }
  ListBox list_log;
};

}  // namespace parvex::ui

namespace parvex {

// The current local date and time in the user's general date format.
std::string TimeStamp();
// Appends time stamp + " - " + text to the event log, creating its window hidden if needed.
void LogEvent(const std::string& text);

}  // namespace parvex
