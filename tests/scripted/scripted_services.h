// Services for tests: dialogs answered from queues and recorded, a fixed clock, a chosen locale
// and add-in folder. Install with ScopedServices so every test starts from a fresh state.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "unzip_support.h"

namespace parvex::testing {

struct MessageBoxCall {
  std::string text;
  MsgButtons buttons;
  MsgIcon icon;
  std::string caption;
};

class ScriptedServices : public Services {
 public:
  // Answers handed out in order; when a queue is empty the default answer is given.
  std::deque<MsgAnswer> message_box_answers;
  std::deque<std::string> input_box_answers;
  // The password box's answers; when none is queued it asks through the input box (an empty
  // answer is a Cancel).
  std::deque<PasswordAnswer> password_answers;

  std::vector<MessageBoxCall> message_boxes;
  std::vector<std::string> input_box_prompts;
  std::vector<std::string> input_box_captions;
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
                        const std::string& caption) override;
  std::string input_box(const std::string& prompt, const std::string& caption,
                        const std::string& default_answer) override;
  PasswordAnswer password_box(const std::string& prompt, const std::string& caption) override {
    if (password_answers.empty()) return Services::password_box(prompt, caption);
    input_box_prompts.push_back(prompt);
    PasswordAnswer a = password_answers.front();
    password_answers.pop_front();
    return a;
  }
  void do_events() override;
  void set_clipboard_text(const std::string& text) override;
  void shell_execute(const ShellExecuteArgs& a) override {
    shell_calls.push_back(a);
    if (on_shell_execute) on_shell_execute();
  }
  std::string addin_folder() override { return folder; }
  uint32_t last_system_error() override { return 0; }
  LocalTime now() override { return clock; }
  int64_t monotonic_ms() override { return ticks; }
  std::string general_date(const LocalTime& t) override { return en_us_general_date(t); }
  NumberSeparators number_separators() override { return separators; }
  std::string policy_file() override { return policies; }
};

// A fresh program state with the given services installed; the state is reset again on exit.
class ScopedServices {
 public:
  explicit ScopedServices(Services& s);
  ~ScopedServices();
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;
};

// A new empty folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  const std::string& path() const { return path_; }
  // path + separator + name
  std::string operator/(const std::string& name) const;

 private:
  pvx::unzip::test::TempDir dir_;
  std::string path_;  // UTF-8
};

// No window can be shown: not Windows, or wine without an X display. On a Windows desktop a
// window, a message box too, would be shown and wait for a person.
bool no_display();

// Whole-file helpers for tests (binary).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

}  // namespace parvex::testing
