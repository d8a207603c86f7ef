// The time stamp that starts every event-log line.
#pragma once

#include <string>

#include "seams/services.h"

namespace parvex {

// The current local date and time in the user's general date format.
std::string time_stamp();

// "12/6/2026 9:05:03 AM", or "12/6/2026" at exactly midnight: the en-US general date, for a
// platform with no user's format of its own.
std::string en_us_general_date(const LocalTime& t);

}  // namespace parvex
