// A zip library with ZpInit and ZpSetOptions but no ZpArchive. ZpSetOptions prints through the
// callback record, so a test sees that it ran, and fails (0, the value ZE_OK has).
#include "zip32.h"

namespace {
ZipPrintFn g_print = nullptr;
}

extern "C" {

PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks) {
  g_print = callbacks ? callbacks->print : nullptr;
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord*) {
  char text[] = "options refused";
  if (g_print) g_print(text, sizeof text - 1);
  return 0;
}

}  // extern "C"
