// The startup window "Startup :)", shown at every connection.
#pragma once

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class FrmAb : public Window {
 public:
  FrmAb() { caption = "Startup :)"; }
};

}  // namespace parvex::ui
