// The user's options, kept through the platform's settings store. Every default keeps the
// send as it was before the options existed.
#pragma once

#include <cstdint>
#include <string>

namespace parvex {

struct Options {
  // Asks at each send for a password that protects the attachments in the archive.
  bool ask_password = false;
  // The archive replaces the attachments only when it is at least this many percent smaller;
  // 0 always replaces them.
  int32_t min_saving = 0;
  bool operator==(const Options&) const = default;
};

inline constexpr int32_t kMaxMinSaving = 99;
// The names the options are stored under.
inline constexpr const char* kAskPasswordSetting = "AskPassword";
inline constexpr const char* kMinSavingSetting = "MinSaving";

// The stored options. Never raises: a value that cannot be read, or is of another shape, takes
// its safe value (a password asked for, always packed) while the other stands, and *problem
// (when given) says why; it is emptied otherwise.
Options read_options(std::string* problem = nullptr);
// Stores both options; raises when the store cannot be written or a value is out of range.
void write_options(const Options& options);

// A minimum saving as the user types it: digits only, 0 to kMaxMinSaving. False otherwise.
bool parse_min_saving(const std::string& text, int32_t& value);

}  // namespace parvex
