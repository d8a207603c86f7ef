#include "views/options_view.h"

#include "ui/frm_options.h"

namespace parvex::views::options_view {

ui::Window* find() {
  return ui::exists<ui::frm_options>() ? &ui::touch<ui::frm_options>() : nullptr;
}

void close() {
  ui::close<ui::frm_options>(ui::kCloseBox);
}

}  // namespace parvex::views::options_view
