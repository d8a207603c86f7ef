// MS-DOS date and time of zip entries, in local time.
#pragma once

#include <cstdint>
#include <ctime>

namespace pvx {

struct DosDateTime {
  uint16_t date = 0;  // bits 15-9 year-1980, 8-5 month, 4-0 day
  uint16_t time = 0;  // bits 15-11 hour, 10-5 minute, 4-0 seconds/2
};

// Seconds since the epoch -> DOS fields in local time; dates before 1980 clamp to 1980-01-01.
DosDateTime to_dos(std::time_t t);
// DOS fields -> seconds since the epoch (local time); -1 for an impossible date.
std::time_t from_dos(DosDateTime d);

// The broken-down local time of t, all zero when the host cannot convert it; thread-safe.
// In dostime_win32.cpp or dostime_posix.cpp.
std::tm local_time(std::time_t t);

}  // namespace pvx
