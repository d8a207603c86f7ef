#include "support/time_stamp.h"

#include "seams/services.h"

namespace parvex {

std::string time_stamp() {
  Services& s = services();
  return s.general_date(s.now());
}

}  // namespace parvex
