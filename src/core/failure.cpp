#include "core/failure.h"

#include <new>

#include "core/program_state.h"

namespace parvex {

Failure current_failure() {
  try {
    throw;
  } catch (const Failure& f) {
    return f;
  } catch (const std::bad_alloc&) {
    return Failure(err::kOutOfMemory, "Parvex", "Out of memory");
  } catch (const std::exception& e) {
    return Failure(err::kHostCallFailed, "Parvex", e.what());
  } catch (...) {
    return Failure(err::kHostCallFailed, "Parvex", "Unknown failure");
  }
}

LastError& last_error() {
  return program_state<LastError>();
}

}  // namespace parvex
