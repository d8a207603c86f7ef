#include "support/options.h"

#include "core/failure.h"
#include "seams/services.h"
#include "support/work_lock.h"

namespace parvex {

bool parse_min_saving(const std::string& text, int32_t& value) {
  if (text.empty() || text.size() > 2) return false;
  int32_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > kMaxMinSaving) return false;
  value = v;
  return true;
}

Options read_options(std::string* problem) {
  Options options;
  std::string why;
  // Each value on its own: one that cannot be read takes its safe value, the other stands.
  try {
    if (const auto ask = services().read_setting(kAskPasswordSetting)) {
      if (*ask != "0" && *ask != "1") raise(err::kTypeMismatch, "AskPassword is " + *ask);
      options.ask_password = *ask == "1";
    }
  } catch (...) {
    // Unknown whether the user asked for a password: asked for, never sent unprotected.
    options.ask_password = true;
    why = current_failure().description() + " (a password is asked for)";
  }
  try {
    if (const auto min = services().read_setting(kMinSavingSetting)) {
      if (!parse_min_saving(*min, options.min_saving)) {
        raise(err::kTypeMismatch, "MinSaving is " + *min);
      }
    }
  } catch (...) {
    options.min_saving = 0;
    why += (why.empty() ? "" : "; ") + current_failure().description() + " (always packed)";
  }
  if (problem) *problem = why;
  return options;
}

void write_options(const Options& options) {
  if (options.min_saving < 0 || options.min_saving > kMaxMinSaving) {
    raise(err::kInvalidCall, "Invalid procedure call or argument");
  }
  // A settings file is read, changed and renamed over whole: two processes writing at once
  // would each drop the other's value.
  const WorkLock lock;
  lock.require();
  services().write_setting(kAskPasswordSetting, options.ask_password ? "1" : "0");
  services().write_setting(kMinSavingSetting, std::to_string(options.min_saving));
}

}  // namespace parvex
