// The options window among the Win32 views: how the views find its model, close it and paint
// its background. Its controls are drawn as every model's are.
#pragma once

#include <windows.h>

#include "ui/window.h"

namespace parvex::views::options_view {

// The model if it exists; never creates one.
ui::Window* find();
// A close request, as the close box, Esc or Alt+F4 make it.
void close();
// The dialog face colour, as a settings dialog has.
inline constexpr int kBackground = COLOR_BTNFACE;

}  // namespace parvex::views::options_view
