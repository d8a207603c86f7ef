#include "platform/services.h"
#include "ui/frm_outlook.h"

namespace parvex {

std::string TimeStamp() {
  Services& s = services();
  return s.general_date(s.now());
}

void LogEvent(const std::string& text) {
  ui::touch<ui::FrmOutlook>().list_log.AddItem(TimeStamp() + " - " + text);
}

}  // namespace parvex
