#include "support/work_lock.h"

#include <chrono>
#include <thread>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/services.h"

namespace parvex {
namespace {

constexpr auto kWait = std::chrono::seconds(5);
constexpr auto kPoll = std::chrono::milliseconds(25);

struct LockState {
  fs::FileLock lock;
  int depth = 0;
};

// False when another holder keeps it past the wait, or the lock file cannot be had at all (a
// read-only add-in folder): *why says which.
bool take(LockState& state, std::string* why) noexcept try {
  const std::string path = work_lock_path();
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!state.lock.try_lock(path)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      *why = "the add-in folder is in use by another program";
      return false;
    }
    std::this_thread::sleep_for(kPoll);
  }
  return true;
} catch (...) {
  attempt(
      [&] { *why = "the add-in folder cannot be written: " + current_failure().description(); });
  return false;
}

}  // namespace

std::string work_lock_path() {
  return services().addin_folder() + kPathSep + "parvex.lock";
}

WorkLock::WorkLock() {
  auto& state = program_state<LockState>();
  if (state.depth == 0 && !take(state, &problem_)) return;
  ++state.depth;
  held_ = true;
}

WorkLock::~WorkLock() {
  if (!held_) return;
  auto& state = program_state<LockState>();
  if (state.depth > 0 && --state.depth == 0) state.lock.unlock();
}

void WorkLock::require() const {
  if (!held_) {
    raise(err::kPermissionDenied, "Permission denied: " + problem_);
  }
}

}  // namespace parvex
