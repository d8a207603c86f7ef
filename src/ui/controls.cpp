#include "ui/controls.h"

#include "core/failure.h"
#include "platform/fs.h"

namespace parvex::ui {

void FileListBox::set_path(std::string folder) {
  path = std::move(folder);
  Refresh();
}

void FileListBox::Refresh() {
  items = fs::list_files(path);
}

const std::string& FileListBox::List(int32_t i) const {
  if (i < 0 || i >= ListCount()) raise(err::kInvalidCall, "Invalid procedure call or argument");
  return items[static_cast<size_t>(i)];
}

}  // namespace parvex::ui
