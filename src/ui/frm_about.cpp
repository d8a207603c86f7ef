#include "ui/frm_about.h"

namespace parvex::ui {
namespace {

template <class C>
void place(C& control, int32_t left, int32_t top, int32_t width, int32_t height, int32_t tab) {
  control.left = left;
  control.top = top;
  control.width = width;
  control.height = height;
  control.tab_index = tab;
}

}  // namespace

FrmAbout::FrmAbout() {
  caption = "About us";

  lbl_totalbytes.caption = "TotalBytes:";
  place(lbl_totalbytes, 240, 3120, 3495, 255, 4);
  lbl_totalzip.caption = "TotalZip:";
  place(lbl_totalzip, 240, 3480, 3495, 255, 5);
  lbl_Saving.caption = "Saving:";
  place(lbl_Saving, 240, 3840, 3495, 375, 7);

  // Below the client area: reached only through the tab order.
  Text1.text = "Text1";
  place(Text1, 240, 6120, 4575, 1455, 9);

  parvex_chk.caption = "Is enabled";
  parvex_chk.value = 1;
  place(parvex_chk, 2040, 2760, 1815, 255, 11);
}

}  // namespace parvex::ui
