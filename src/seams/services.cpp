#include "seams/services.h"

#include <atomic>
#include <chrono>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/native_services.h"

namespace parvex {
namespace {

struct ServicesSlot {
  std::unique_ptr<Services> native;
  Services* installed = nullptr;
};

// What each program handed in at its start.
std::atomic<std::unique_ptr<Services> (*)()> native_maker{nullptr};

// When pump_events() last let window events run on this thread.
struct PumpClock {
  bool pumped = false;
  int64_t last_ms = 0;
};

}  // namespace

int64_t Services::monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void pump_events() noexcept {
  attempt([] {
    auto& clock = program_state<PumpClock>();
    const int64_t now = services().monotonic_ms();
    if (clock.pumped && now - clock.last_ms < kPumpEveryMs) return;
    clock.pumped = true;
    clock.last_ms = now;
    services().do_events();
  });
}

std::string password_refusal(const std::string& password) {
  if (password.find_first_not_of(" \t") == std::string::npos) {
    return "A password of blanks only protects nothing: type another one.";
  }
  if (password.size() > kMaxPasswordBytes) {
    return "The password is too long: 7-Zip and other tools read only its first " +
           std::to_string(kMaxPasswordBytes) +
           " bytes, so they could not open the archive. Accented letters take two bytes, "
           "most Asian characters three.";
  }
  return {};
}

PasswordAnswer Services::password_box(const std::string& prompt, const std::string& caption) {
  PasswordAnswer answer;
  answer.password = input_box(prompt, caption, "");
  if (!answer.password.empty()) answer.choice = PasswordAnswer::Choice::password;
  return answer;
}

// Reached only where a platform that keeps them says so and overrides these.
std::optional<std::string> Services::read_setting(const std::string&) {
  raise(err::kInvalidCall, "No settings store");
}

void Services::write_setting(const std::string&, const std::string&) {
  raise(err::kInvalidCall, "No settings store");
}

std::optional<std::string> Services::read_policy(PolicyScope, const std::string&, PolicyKind) {
  raise(err::kInvalidCall, "No policy store");
}

Services& services() {
  auto& slot = program_state<ServicesSlot>();
  if (slot.installed) return *slot.installed;
  if (!slot.native) {
    const auto make = native_maker.load();
    if (!make) raise(err::kInvalidCall, "No platform services were handed in");
    slot.native = make();
  }
  return *slot.native;
}

void set_native_services(std::unique_ptr<Services> (*make)()) {
  native_maker.store(make);
}

void set_services(Services* replacement) {
  program_state<ServicesSlot>().installed = replacement;
}

Services* installed_services() {
  return program_state<ServicesSlot>().installed;
}

}  // namespace parvex
