#include "compression/send_windows.h"

#include <atomic>

#include "core/failure.h"

namespace parvex::compression {
namespace {

std::atomic<SendWindows*> windows_in_use{nullptr};

}  // namespace

void set_send_windows(SendWindows* windows) {
  windows_in_use.store(windows);
}

SendWindows& send_windows() {
  SendWindows* windows = windows_in_use.load();
  if (!windows) raise(err::kObjectRequired, "Object required");
  return *windows;
}

}  // namespace parvex::compression
