// Control state of the window models. A view (headless or Win32) draws these; the models and
// the rest of the add-in only read and write the state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace parvex::ui {

enum class ControlKind {
  CommandButton,
  Label,
  TextBox,
  CheckBox,
  ListBox,
  FileListBox,
  Image,
  Timer,
  ProgressBar
};

struct Control {
  Control() = default;
  // Windows keep pointers to their controls, so a control never moves.
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control() = default;

  virtual ControlKind kind() const = 0;
  // The caption, text or picture a view shows for the control.
  virtual std::string display_text() const { return {}; }

  bool visible = true;
  bool enabled = true;
  int32_t left = 0, top = 0, width = 0, height = 0;  // twips
  std::optional<int32_t> tab_index;                  // none for pictures and timers
  std::function<void()> on_click;

  void click() {
    // A copy: the handler may destroy the window that owns this control.
    const auto handler = on_click;
    if (handler) handler();
  }
};

struct Font {
  std::string name = "MS Sans Serif";
  double points = 8.25;
  bool bold = false;
  bool underline = false;
};

struct Label : Control {
  std::string caption;
  Font font;
  ControlKind kind() const override { return ControlKind::Label; }
  std::string display_text() const override { return caption; }
};

struct TextBox : Control {
  std::string text;
  bool multi_line = false;
  ControlKind kind() const override { return ControlKind::TextBox; }
  std::string display_text() const override { return text; }
};

struct CheckBox : Control {
  std::string caption;
  int16_t value = 0;  // 0 cleared, 1 checked
  ControlKind kind() const override { return ControlKind::CheckBox; }
  std::string display_text() const override { return caption; }
};

struct CommandButton : Control {
  std::string caption;
  ControlKind kind() const override { return ControlKind::CommandButton; }
  std::string display_text() const override { return caption; }
};

// A picture from resources/, shown at its own size (15 twips a pixel), never stretched.
struct Image : Control {
  std::string picture;  // file name under resources/
  int32_t pixel_width = 0, pixel_height = 0;
  ControlKind kind() const override { return ControlKind::Image; }
  std::string display_text() const override { return picture; }
};

struct Timer : Control {
  int32_t interval = 0;  // milliseconds; 0 never fires
  Timer() { visible = false; }
  ControlKind kind() const override { return ControlKind::Timer; }
};

// A bar filled in proportion to value out of max.
struct ProgressBar : Control {
  int32_t value = 0, max = 100;
  ControlKind kind() const override { return ControlKind::ProgressBar; }
};

// Called on this thread after a list gained or lost lines: a view that installs it draws
// appended lines at once instead of watching the lists.
inline thread_local void (*on_list_changed)() = nullptr;

struct ListBox : Control {
  // Counts and indexes are 16-bit: a list holds at most this many lines.
  static constexpr int32_t kMaxItems = 32767;

  std::vector<std::string> items;
  // Called when a line is added to a full list; a list still full afterwards drops its oldest.
  std::function<void(ListBox&)> on_full;

  // What a view needs to draw the changes without comparing the lines: how many times the list
  // was emptied, and how many lines a full list has dropped from its front.
  uint64_t clears = 0;
  uint64_t dropped = 0;

  void AddItem(std::string text);
  void Clear();
  int32_t ListCount() const { return static_cast<int32_t>(items.size()); }
  ControlKind kind() const override { return ControlKind::ListBox; }
};

// A list of the files of one folder, read when the path is set or the list refreshed.
struct FileListBox : Control {
  std::string path;
  std::vector<std::string> items;
  // Takes a fresh listing; raises (and keeps the old path) when the folder does not exist.
  void set_path(std::string folder);
  void Refresh();
  int32_t ListCount() const { return static_cast<int32_t>(items.size()); }
  const std::string& List(int32_t i) const;  // raises when out of range
  ControlKind kind() const override { return ControlKind::FileListBox; }
  std::string display_text() const override { return path; }
};

}  // namespace parvex::ui
