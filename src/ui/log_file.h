// The event-log file, add-in folder + "ziplogfile.log": each save appends one block, a header
// with the time, every line of the log and a trailer.
#pragma once

#include <string>

#include "ui/controls.h"

namespace parvex::ui {

// add-in folder + separator + "ziplogfile.log"
std::string event_log_path();
// Appends the whole list to the log file as one block, then clears the list. Raises when the
// file cannot be written; the list then keeps every line.
void save_event_log(ListBox& log);

}  // namespace parvex::ui
