// How the native services reach the core: each program links its back-end and hands its
// make_native_services in at start, so that the seams never name a back-end.
#pragma once

#include <memory>

#include "seams/services.h"

namespace parvex {

// Hands in how each thread's native services are made, once at the program's start; until
// then services() raises unless a test installed its own.
void set_native_services(std::unique_ptr<Services> (*make)());

}  // namespace parvex
