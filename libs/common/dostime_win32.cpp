#include "dostime.h"

namespace pvx {

std::tm local_time(std::time_t t) {
  std::tm tm{};
  localtime_s(&tm, &t);
  return tm;
}

}  // namespace pvx
