// The headless view: a plain-text drawing of a window model, one line per control in layout
// order, with where each lies against the client area. parvex-sim prints it; tests compare it.
#pragma once

#include <string>

#include "ui/window.h"

namespace parvex::ui {

enum class Placement { Inside, Partly, Outside };

// Where a control's rectangle lies against the client area; a control without a size counts
// by its top left corner.
Placement placement(const Window& window, const Control& control);

std::string draw(const Window& window);

}  // namespace parvex::ui
