#include "core/program_state.h"

namespace parvex {

ProgramState& ProgramState::current() {
  thread_local ProgramState state;
  return state;
}

void ProgramState::clear() {
  // Newest first, one at a time: a destructor may still read older state.
  while (!slots_.empty()) {
    std::unique_ptr<HolderBase> doomed = std::move(slots_.back().holder);
    slots_.pop_back();
    doomed.reset();
  }
}

}  // namespace parvex
