// Services for tests: dialogs answered from queues and recorded, a fixed clock, a chosen locale
// and add-in folder. Install with ScopedServices so every test starts from a fresh state.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/services.h"
#include "unzip_support.h"

namespace parvex::testing {

struct MessageBoxCall {
  std::string text;
  MsgButtons buttons;
  MsgIcon icon;
  std::string caption;
  bool operator==(const MessageBoxCall&) const = default;
};

// Answers queued in a; once none is left, fallback.
template <class T>
T pop_or(std::deque<T>& a, T fallback) {
  if (a.empty()) return fallback;
  T first = std::move(a.front());
  a.pop_front();
  return first;
}

class ScriptedServices : public Services {
 public:
  // Answers handed out in order; when a queue is empty the default answer is given.
  std::deque<std::string> input_box_answers;
  // The password box's answers; when none is queued it asks through the input box (an empty
  // answer is a Cancel).
  std::deque<PasswordAnswer> password_answers;

  std::vector<MessageBoxCall> message_boxes;
  std::vector<std::string> input_box_prompts;
  std::vector<ShellExecuteArgs> shell_calls;
  std::function<void()> on_shell_execute;  // runs inside each call, after it was recorded
  std::string clipboard;
  std::function<void()> on_do_events;  // runs inside do_events, as a pending window event would

  std::string folder = ".";
  std::string policies;  // the policy file; none by default, whatever the machine has
  LocalTime clock{2026, 12, 6, 9, 5, 3};
  int64_t ticks = 0;  // the monotonic clock, in milliseconds: still unless a test moves it
  NumberSeparators separators{",", "."};

  MsgAnswer message_box(const std::string& text, MsgButtons buttons, MsgIcon icon,
                        const std::string& caption) override {
    message_boxes.push_back({text, buttons, icon, caption});
    return MsgAnswer::Ok;
  }
  std::string input_box(const std::string& prompt, const std::string&,
                        const std::string& default_answer) override {
    input_box_prompts.push_back(prompt);
    return pop_or(input_box_answers, default_answer);
  }
  PasswordAnswer password_box(const std::string& prompt, const std::string& caption) override {
    if (password_answers.empty()) return Services::password_box(prompt, caption);
    input_box_prompts.push_back(prompt);
    return pop_or(password_answers, {});
  }
  void do_events() override {
    if (on_do_events) on_do_events();
  }
  void set_clipboard_text(const std::string& text) override { clipboard = text; }
  void shell_execute(const ShellExecuteArgs& a) override {
    shell_calls.push_back(a);
    if (on_shell_execute) on_shell_execute();
  }
  std::string addin_folder() override { return folder; }
  uint32_t last_system_error() override { return 0; }
  LocalTime now() override { return clock; }
  int64_t monotonic_ms() override { return ticks; }
  NumberSeparators number_separators() override { return separators; }
  std::string policy_file() override { return policies; }
};

// What fn threw; number 0 and no source when it threw nothing, which no expected failure has.
template <class Fn>
Failure failure_of(Fn&& fn) {
  try {
    fn();
  } catch (const Failure& f) {
    return f;
  }
  return Failure(0, "", "nothing thrown");
}

// A fresh program state with the given services installed; the state is reset again on exit.
class ScopedServices {
 public:
  explicit ScopedServices(Services& s) {
    ProgramState::reset();
    set_services(&s);
  }
  ~ScopedServices() { ProgramState::reset(); }
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;
};

// A new empty folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder() : path_(pvx::unzip::test::utf8(dir_.path())) {}
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + kPathSep + name; }

 private:
  pvx::unzip::test::TempDir dir_;
  std::string path_;  // UTF-8
};

// No window can be shown: not Windows, or wine without an X display. On a Windows desktop a
// window, a message box too, would be shown and wait for a person.
inline bool no_display() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") &&
         GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0;
#else
  return true;
#endif
}

using pvx::unzip::test::random_bytes;

// Whole files (binary). Unlike the libraries' tests, which read a missing file as empty, a
// test here fails loudly.
inline std::string read_file(const std::string& path) {
  if (!std::filesystem::is_regular_file(std::filesystem::u8path(path))) {
    throw std::runtime_error("cannot read " + path);
  }
  return pvx::unzip::test::read_file(std::filesystem::u8path(path));
}
inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
  out << bytes;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace parvex::testing
