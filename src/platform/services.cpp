#include "platform/services.h"

#include <cstdio>

#include "core/program_state.h"

namespace parvex {
namespace {

struct ServicesSlot {
  std::unique_ptr<Services> native;
  Services* installed = nullptr;
};

}  // namespace

Services& services() {
  auto& slot = program_state<ServicesSlot>();
  if (slot.installed) return *slot.installed;
  if (!slot.native) slot.native = make_native_services();
  return *slot.native;
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

void set_services(Services* replacement) {
  program_state<ServicesSlot>().installed = replacement;
}

Services* installed_services() {
  return program_state<ServicesSlot>().installed;
}

}  // namespace parvex
