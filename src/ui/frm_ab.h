// The startup window "Startup :)", shown at every connection. The logo, the line and the
// background open the product's web page and close the window; "&Continue" only closes it.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class frm_ab : public Window {
 public:
  frm_ab();

  CommandButton Command1;
  Label Label1;
  Image Image1;  // 30 twips wider than the client area: its right edge is cut off
};

}  // namespace parvex::ui
