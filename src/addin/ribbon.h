// The add-in's two ribbons: a "Pack attachments" toggle on every message being written (its
// compose window, or a reply in the reading pane), and the group "Parvex" on the main window's
// Home tab: the packing setting, the about and zip windows, the saving so far.
#pragma once

#include <string>
#include <vector>

#include "host/ribbon.h"

namespace parvex {

class Ribbon {
 public:
  Ribbon();
  ~Ribbon();
  Ribbon(const Ribbon&) = delete;
  Ribbon& operator=(const Ribbon&) = delete;

  std::string custom_ui(const std::string& ribbon_id);
  int32_t id_of(const std::string& name) const;
  host::RibbonCall shape_of(int32_t id) const;
  host::RibbonResult call(int32_t id, host::RibbonCall call, const host::RibbonArgs& args);
  // Whether the host asked for the main window's ribbon.
  bool explorer_asked() const { return explorer_asked_; }
  // Asks the host to draw every control anew: their state changed elsewhere.
  void refresh();
  void release() { uis_.clear(); }

 private:
  void on_load(host::Ref<host::RibbonUI> ui);
  void watch_box();
  void on_action(const host::RibbonControl& control);
  void on_toggle(const host::RibbonControl& control, bool pressed);
  bool get_pressed(const host::RibbonControl& control);
  bool get_enabled(const host::RibbonControl& control);
  std::string get_supertip(const host::RibbonControl& control);
  std::string get_label(const host::RibbonControl& control);
  host::RibbonImage get_image(const host::RibbonControl& control);

  std::vector<host::Ref<host::RibbonUI>> uis_;  // one for each ribbon loaded
  bool explorer_asked_ = false;
};

}  // namespace parvex
