#include "support/time_stamp.h"
#include "ui/frm_outlook.h"

namespace parvex {

void LogEvent(const std::string& text) {
  ui::touch<ui::frm_outlook>().list_log.AddItem(time_stamp() + " - " + text);
}

}  // namespace parvex
