#include "ui/headless_view.h"

#include <sstream>

namespace parvex::ui {
namespace {

const char* kind_name(ControlKind kind) {
  switch (kind) {
    case ControlKind::CommandButton:
      return "button";
    case ControlKind::Label:
      return "label";
    case ControlKind::TextBox:
      return "text box";
    case ControlKind::CheckBox:
      return "check box";
    case ControlKind::ListBox:
      return "list box";
    case ControlKind::FileListBox:
      return "file list";
    case ControlKind::Image:
      return "picture";
    case ControlKind::Timer:
      return "timer";
    case ControlKind::ProgressBar:
      return "progress bar";
  }
  return "control";
}

const char* placement_name(Placement p) {
  switch (p) {
    case Placement::Inside:
      return "inside";
    case Placement::Partly:
      return "partly inside";
    case Placement::Outside:
      return "outside";
  }
  return "";
}

std::string details(const Control& c) {
  std::ostringstream out;
  if (const auto* label = dynamic_cast<const Label*>(&c)) {
    const Font& f = label->font;
    out << ", font " << f.name << " " << f.points << (f.bold ? " bold" : "")
        << (f.underline ? " underlined" : "");
  } else if (const auto* check = dynamic_cast<const CheckBox*>(&c)) {
    out << ", value " << check->value;
  } else if (const auto* list = dynamic_cast<const ListBox*>(&c)) {
    out << ", " << list->ListCount() << " lines";
  } else if (const auto* files = dynamic_cast<const FileListBox*>(&c)) {
    out << ", " << files->ListCount() << " files";
  } else if (const auto* image = dynamic_cast<const Image*>(&c)) {
    out << ", " << image->pixel_width << " x " << image->pixel_height << " pixels";
  } else if (const auto* timer = dynamic_cast<const Timer*>(&c)) {
    out << ", interval " << timer->interval;
  } else if (const auto* bar = dynamic_cast<const ProgressBar*>(&c)) {
    out << ", " << bar->value << " of " << bar->max;
  }
  if (!c.visible) out << ", invisible";
  if (!c.enabled) out << ", disabled";
  return out.str();
}

}  // namespace

Placement placement(const Window& w, const Control& c) {
  const int32_t right = c.left + c.width;
  const int32_t bottom = c.top + c.height;
  const bool inside =
      c.left >= 0 && c.top >= 0 && right <= w.client_width && bottom <= w.client_height;
  if (inside) return Placement::Inside;
  const bool overlaps =
      c.left < w.client_width && c.top < w.client_height && right > 0 && bottom > 0;
  return overlaps ? Placement::Partly : Placement::Outside;
}

std::string draw(const Window& w) {
  std::ostringstream out;
  out << "window \"" << w.caption << "\" (" << (w.visible ? "shown" : "hidden") << ")\n"
      << "  frame: fixed dialog, close box, no minimize or maximize box, "
      << (w.in_taskbar ? "in" : "not in") << " the taskbar, icon " << w.icon << "\n"
      << "  client area: " << w.client_width << " x " << w.client_height << " twips\n";
  for (const auto& [name, control] : w.controls()) {
    const Control& c = *control;
    out << "  " << name << ": " << kind_name(c.kind()) << " \"" << c.display_text() << "\" at "
        << c.left << "," << c.top << " size " << c.width << " x " << c.height << ", tab ";
    if (c.tab_index) {
      out << *c.tab_index;
    } else {
      out << "none";
    }
    out << ", " << placement_name(placement(w, c)) << details(c) << "\n";
  }
  return out.str();
}

}  // namespace parvex::ui
