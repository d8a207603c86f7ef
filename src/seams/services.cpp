#include "seams/services.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/native_services.h"

namespace parvex {
namespace {

struct ServicesSlot {
  std::unique_ptr<Services> native;
  Services* installed = nullptr;
};

// What each program handed in at its start.
std::atomic<std::unique_ptr<Services> (*)()> native_maker{nullptr};

// Settings files are a few lines; anything larger is not one of ours.
constexpr size_t kSettingsLimit = 4096;

// In the add-in folder of the services in use: a wrapper that hands the store on to the native
// services still keeps the file in its own folder.
std::string settings_path() {
  return services().addin_folder() + kPathSep + kSettingsFile;
}

struct SettingsText {
  std::map<std::string, std::string> values;
  // Lines of no setting or holding a control character, by the name before their '=' ("" when
  // none can be told).
  std::multimap<std::string, std::string> bad;
};

// Every "name=value" line of the file; none when there is no file. A line of another shape is
// set aside alone, so that one damaged line costs no other value. Raises when the file cannot
// be read whole (not a regular file, too large, a read error).
SettingsText read_settings_file(const std::string& path, fs::Links links = fs::Links::refuse) {
  SettingsText result;
  if (!fs::exists_no_follow(path)) return result;
  fs::File in(path, "rb", links);
  std::string text(kSettingsLimit + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), in.get()));
  if (std::ferror(in.get())) raise(err::kPathFileAccess, "Path/File access error: " + path);
  if (text.size() > kSettingsLimit) raise(err::kPathFileAccess, "The settings file is too large");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const auto eq = line.find('=');
    const bool control = std::any_of(line.begin(), line.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 32; });
    if (eq == std::string::npos || eq == 0 || control) {
      const bool named = eq != std::string::npos && eq > 0 &&
                         std::none_of(line.begin(), line.begin() + static_cast<ptrdiff_t>(eq),
                                      [](char c) { return static_cast<unsigned char>(c) < 32; });
      result.bad.emplace(named ? line.substr(0, eq) : "", line.substr(0, 40));
    } else {
      result.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return result;
}

// The value of name, nullopt when the file has no line for it. Raises (type mismatch) when its
// own line is damaged, or when a damaged line of no name may have been it: a value that cannot
// be read is never taken for one never saved.
std::optional<std::string> settings_value(const SettingsText& file, const std::string& name) {
  auto bad = file.bad.find(name);
  if (bad == file.bad.end()) {
    const auto it = file.values.find(name);
    if (it != file.values.end()) return it->second;
    bad = file.bad.find("");
  }
  if (bad == file.bad.end()) return std::nullopt;
  std::string line = bad->second;
  for (char& c : line) c = static_cast<unsigned char>(c) < 32 ? '?' : c;
  raise(err::kTypeMismatch, "The line of " + name + " is damaged: " + line);
}

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

std::optional<std::string> Services::read_setting(const std::string& name) {
  return settings_value(read_settings_file(settings_path()), name);
}

void Services::write_setting(const std::string& name, const std::string& value) {
  const auto control = [](char c) { return static_cast<unsigned char>(c) < 32; };
  if (name.empty() || name.find('=') != std::string::npos ||
      std::any_of(name.begin(), name.end(), control) ||
      std::any_of(value.begin(), value.end(), control)) {
    raise(err::kInvalidCall, "Invalid procedure call or argument");
  }
  const std::string path = settings_path();
  std::map<std::string, std::string> values;
  // A damaged file is replaced by what is being saved now, as the user sees it.
  attempt([&] { values = read_settings_file(path).values; });
  values[name] = value;
  std::string text;
  for (const auto& [n, v] : values) text += n + "=" + v + "\r\n";
  // Written beside and renamed over, so that a failed write leaves the old file whole; under a
  // name of this write alone, so that another process writing too never takes it away.
  std::random_device random;
  char tag[32];
  std::snprintf(tag, sizeof tag, ".%08x%08x.tmp", random(), random());
  const std::string temp = path + tag;
  try {
    fs::File out(temp, "wb", fs::Links::refuse);
    out.write(text);
    out.close();
    fs::rename_replace(temp, path);
  } catch (...) {
    attempt([&] {
      if (fs::exists_no_follow(temp)) fs::delete_file(temp);
    });
    throw;
  }
}

std::optional<std::string> Services::read_policy(PolicyScope scope, const std::string& name,
                                                 PolicyKind kind) {
  const std::string path = policy_file();
  if (scope != PolicyScope::machine || path.empty()) return std::nullopt;
  // An administrator's file, often a link into managed configuration: followed.
  const auto value = settings_value(read_settings_file(path, fs::Links::follow), name);
  if (!value) return std::nullopt;
  const std::string& text = *value;
  // A number is what a REG_DWORD would hold: 1 to 10 decimal digits, at most 4294967295.
  const bool number =
      !text.empty() && text.size() <= 10 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      std::stoull(text) <= 0xFFFFFFFFull;
  if (kind == PolicyKind::number && !number) {
    raise(err::kTypeMismatch, "The policy " + name + " is not a number: " + text);
  }
  return text;
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

std::string en_us_general_date(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d/%d", t.month, t.day, t.year);
  std::string text = buf;
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
  const int h12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  std::snprintf(buf, sizeof buf, " %d:%02d:%02d %s", h12, t.minute, t.second,
                t.hour < 12 ? "AM" : "PM");
  return text + buf;
}

void set_services(Services* replacement) {
  program_state<ServicesSlot>().installed = replacement;
}

Services* installed_services() {
  return program_state<ServicesSlot>().installed;
}

}  // namespace parvex
