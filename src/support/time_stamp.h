// The time stamp that starts every event-log line.
#pragma once

#include <string>

namespace parvex {

// The current local date and time in the user's general date format.
std::string time_stamp();

}  // namespace parvex
