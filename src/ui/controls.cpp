#include "ui/controls.h"

#include "core/failure.h"
#include "seams/fs.h"

namespace parvex::ui {

void ListBox::AddItem(std::string text) {
  if (ListCount() >= kMaxItems && on_full) on_full(*this);
  if (ListCount() >= kMaxItems) {
    items.erase(items.begin());
    ++dropped;
  }
  items.push_back(std::move(text));
  if (on_list_changed) on_list_changed();
}

void ListBox::Clear() {
  items.clear();
  ++clears;
  if (on_list_changed) on_list_changed();
}

void FileListBox::set_path(std::string folder) {
  // Listed before the path changes: a folder that cannot be listed leaves the old state.
  items = fs::list_files(folder);
  path = std::move(folder);
}

void FileListBox::Refresh() {
  items = fs::list_files(path);
}

const std::string& FileListBox::List(int32_t i) const {
  if (i < 0 || i >= ListCount()) raise(err::kInvalidCall, "Invalid procedure call or argument");
  return items[static_cast<size_t>(i)];
}

}  // namespace parvex::ui
