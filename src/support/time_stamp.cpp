#include "support/time_stamp.h"

#include <cstdio>

namespace parvex {

std::string time_stamp() {
  Services& s = services();
  const LocalTime now = s.now();
  std::string text = s.general_date(now);
  return text.empty() ? en_us_general_date(now) : text;
}

std::string en_us_general_date(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d/%d", t.month, t.day, t.year);
  std::string text = buf;
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
  const int h12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  std::snprintf(buf, sizeof buf, " %d:%02d:%02d %s", h12, t.minute, t.second,
                t.hour < 12 ? "AM" : "PM");
  return text + buf;
}

}  // namespace parvex
