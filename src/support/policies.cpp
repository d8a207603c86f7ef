#include "support/policies.h"

#include <algorithm>

#include "core/failure.h"
#include "support/settings_files.h"

namespace parvex {
namespace {

// The characters of a UTF-8 text: the bytes that begin one.
size_t characters(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The value of one policy, the machine's before the user's; a value that cannot be used is
// skipped with a line, and the next scope is read. A store that cannot be read at all is said
// once and not asked again (unreadable[scope]).
std::optional<std::string> read_one(const PolicyName& policy, std::vector<std::string>& problems,
                                    bool (&unreadable)[2]) {
  const std::string name(policy.name);
  for (const PolicyScope scope : {PolicyScope::machine, PolicyScope::user}) {
    const char* where = scope == PolicyScope::machine ? "machine" : "user";
    bool& broken = unreadable[scope == PolicyScope::machine ? 0 : 1];
    if (broken) continue;
    std::optional<std::string> value;
    bool fits = false;
    try {
      value = read_policy(scope, name, policy.kind);
      if (!value) continue;
      if (policy.kind == PolicyKind::number) {
        fits = std::stoull(*value) <= policy.max;
      } else {
        fits = characters(*value) <= policy.max &&
               std::none_of(value->begin(), value->end(),
                            [](char c) { return static_cast<unsigned char>(c) < 32; });
      }
    } catch (...) {
      const Failure failure = current_failure();
      broken = failure.number() != err::kTypeMismatch;
      problems.push_back((broken ? std::string("Policies (") + where + ") ignored: "
                                 : "Policy " + name + " (" + where + ") ignored: ") +
                         failure.description());
      continue;
    }
    if (fits) return value;
    problems.push_back("Policy " + name + " (" + where +
                       ") ignored: out of range: " + value->substr(0, 40));
  }
  return std::nullopt;
}

}  // namespace

Options Policies::over(Options options) const {
  if (ask_password) options.ask_password = *ask_password;
  if (min_saving) options.min_saving = *min_saving;
  return options;
}

Policies read_policies(std::vector<std::string>* problems) {
  std::vector<std::string> lines;
  bool unreadable[2] = {false, false};
  Policies fixed;
  for (const PolicyName& policy : kPolicyNames) {
    const auto value = read_one(policy, lines, unreadable);
    if (!value) continue;
    if (policy.name == "Compression") fixed.compression = *value == "1";
    if (policy.name == "AskPassword") fixed.ask_password = *value == "1";
    if (policy.name == "MinSaving") fixed.min_saving = static_cast<int32_t>(std::stoul(*value));
    if (policy.name == "ReadmeText") fixed.readme_text = *value;
  }
  if (problems) *problems = std::move(lines);
  return fixed;
}

}  // namespace parvex
