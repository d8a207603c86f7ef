#include "support/time_stamp.h"
#include "ui/frm_outlook.h"

namespace parvex {

std::string log_line_text(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (const char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u != 127) {
      out += c;
      continue;
    }
    constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 15];
  }
  return out;
}

void LogEvent(const std::string& text) {
  ui::touch<ui::frm_outlook>().list_log.AddItem(log_line_text(time_stamp() + " - " + text));
}

}  // namespace parvex
