// Control state of the window models. A view (headless or Win32) draws these; the models and
// the rest of the add-in only read and write the state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace parvex::ui {

struct Control {
  bool visible = true;
  bool enabled = true;
  int32_t left = 0, top = 0, width = 0, height = 0;  // twips
  int32_t tab_index = 0;
};

struct Label : Control {
  std::string caption;
};

struct TextBox : Control {
  std::string text;
};

struct CheckBox : Control {
  std::string caption;
  int16_t value = 0;  // 0 cleared, 1 checked
};

struct CommandButton : Control {
  std::string caption;
  std::function<void()> on_click;
  void click() {
    if (on_click) on_click();
  }
};

struct ListBox : Control {
  std::vector<std::string> items;
  void AddItem(std::string text) { items.push_back(std::move(text)); }
  void Clear() { items.clear(); }
  int32_t ListCount() const { return static_cast<int32_t>(items.size()); }
};

// A list of the files of one folder, read when the path is set or the list refreshed.
struct FileListBox : Control {
  std::string path;
  std::vector<std::string> items;
  void set_path(std::string folder);
  void Refresh();
  int32_t ListCount() const { return static_cast<int32_t>(items.size()); }
  const std::string& List(int32_t i) const;  // raises when out of range
};

}  // namespace parvex::ui
