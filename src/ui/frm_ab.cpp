#include "ui/frm_ab.h"

#include "ui/links.h"

namespace parvex::ui {

frm_ab::frm_ab() {
  caption = "Startup :)";
  client_width = 3570;
  client_height = 2220;

  Command1.caption = "&Continue";
  place(Command1, "Command1", 1080, 1800, 1335, 375, 1);
  Label1.caption = "Discover business version...";
  Label1.font.bold = true;
  Label1.font.underline = true;
  place(Label1, "Label1", 480, 1440, 2535, 255, 0);
  Image1.picture = "startup.bmp";
  Image1.pixel_width = 240;
  Image1.pixel_height = 90;
  place(Image1, "Image1", 0, 0, 3600, 1350, std::nullopt);

  // Each closes the window, which destroys this object: nothing may follow unload().
  Command1.on_click = [] { unload<frm_ab>(); };
  on_click = [this] {
    open_address(handle, kProductWebPage);
    unload<frm_ab>();
  };
  Label1.on_click = on_click;
  Image1.on_click = on_click;
}

}  // namespace parvex::ui
