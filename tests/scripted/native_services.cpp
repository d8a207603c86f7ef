// Every test program hands in the native services at its start, as the programs do.
#include "seams/native_services.h"

namespace {
const bool handed_in = (parvex::set_native_services(&parvex::make_native_services), true);
}  // namespace
