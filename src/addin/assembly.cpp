#include "addin/assembly.h"

#include "compression/send_windows.h"
#include "support/statistics.h"
#include "ui/addin_windows.h"

namespace parvex {

void assemble() {
  compression::set_send_windows(&ui::addin_windows());
  set_statistics_labels(&ui::addin_windows());
}

}  // namespace parvex
