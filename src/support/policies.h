// Settings an administrator fixes: read from the machine's policies, then the user's, before
// the user's own options. A fixed value wins over the user's and the windows show it disabled.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "seams/services.h"
#include "support/options.h"

namespace parvex {

struct PolicyName {
  std::string_view name;
  PolicyKind kind;
  uint32_t max;  // numbers 0 to max; for a text, its most characters
};

// Every value read under kPolicyKey (or from the policy file); the templates name the same ones.
inline constexpr std::array<PolicyName, 4> kPolicyNames{{
    {"Compression", PolicyKind::number, 1},
    {"AskPassword", PolicyKind::number, 1},
    {"MinSaving", PolicyKind::number, static_cast<uint32_t>(kMaxMinSaving)},
    {"ReadmeText", PolicyKind::text, 512},
}};

// What is fixed; nullopt where the user decides.
struct Policies {
  std::optional<bool> compression;  // packing at send on or off
  std::optional<bool> ask_password;
  std::optional<int32_t> min_saving;
  std::optional<std::string> readme_text;  // one more line of the readme

  bool fixes_options() const { return ask_password || min_saving; }
  // The user's options with the fixed ones put over them.
  Options over(Options options) const;
};

// The window text beside a control whose value is fixed.
inline constexpr std::string_view kSetByAdministrator = "Set by your administrator";

// Never raises: a value of the wrong kind or out of range, or a store that cannot be read, is
// left out, and one line for each goes to *problems (when given).
Policies read_policies(std::vector<std::string>* problems = nullptr);

}  // namespace parvex
