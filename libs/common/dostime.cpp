#include "dostime.h"

namespace pvx {

DosDateTime to_dos(std::time_t t) {
  const std::tm tm = local_time(t);
  if (tm.tm_year < 80) return DosDateTime{static_cast<uint16_t>((1 << 5) | 1), 0};
  if (tm.tm_year > 207) {  // past 2107 the fields cannot hold the year
    return DosDateTime{static_cast<uint16_t>((127 << 9) | (12 << 5) | 31),
                       static_cast<uint16_t>((23 << 11) | (59 << 5) | 29)};
  }
  DosDateTime d;
  d.date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  d.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return d;
}

std::time_t from_dos(DosDateTime d) {
  std::tm tm{};
  tm.tm_year = ((d.date >> 9) & 0x7F) + 80;
  tm.tm_mon = ((d.date >> 5) & 0x0F) - 1;
  tm.tm_mday = d.date & 0x1F;
  tm.tm_hour = (d.time >> 11) & 0x1F;
  tm.tm_min = (d.time >> 5) & 0x3F;
  tm.tm_sec = (d.time & 0x1F) * 2;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday == 0 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 59) {
    return -1;
  }
  return std::mktime(&tm);
}

}  // namespace pvx
