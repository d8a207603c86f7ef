// The simulated client's ribbon: it asks the add-in for its markup as the host does, refuses
// markup the host would refuse, calls the callbacks by name and draws what they return. Control
// state is read once and kept until the add-in invalidates it, as the host keeps it.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "host/ribbon.h"
#include "sim/sim_outlook.h"

namespace parvex::sim {

// One element of the markup: its namespace, its local name, its attributes, in order.
struct XmlElement {
  std::string ns, name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlElement> children;
  const std::string* attribute(const std::string& key) const;
};

// Raises with the parser's message when the text is not well-formed.
XmlElement parse_xml(const std::string& text);

// Checks markup as the host does before it shows any of it; returns each problem, none when it
// would be shown. callbacks: every callback the markup names must resolve on it.
std::vector<std::string> check_custom_ui(const std::string& ribbon_id, const XmlElement& root,
                                         host::RibbonExtensibility& callbacks);

class SimRibbon {
 public:
  explicit SimRibbon(SimOutlook& outlook) : outlook_(outlook) {}
  ~SimRibbon();
  SimRibbon(const SimRibbon&) = delete;
  SimRibbon& operator=(const SimRibbon&) = delete;

  // Asks the add-in for one ribbon's markup and checks it; its onLoad is called. Raises on
  // markup the host would refuse. Markup already loaded is not asked again.
  void load(host::RibbonExtensibility& addin, const std::string& ribbon_id);
  // The connection went: its ribbons go with it.
  void unload();

  // What shows in the active window: the message being written, else the main window.
  void print(std::ostream& out);
  // "click" a button, "toggle" a toggle button, named by its label as shown or by its id.
  void press(const std::string& how, const std::string& label);

  // For tests: the markup the add-in returned for a ribbon, empty when none.
  const std::string& markup(const std::string& ribbon_id) { return loaded_[ribbon_id].xml; }

 private:
  struct Loaded;
  struct Window;
  class UI;
  Window active();
  // The control's value for one callback attribute, from the kept state or asked anew.
  host::RibbonResult value(const Window& w, const XmlElement& control, const std::string& attr,
                           host::RibbonCall call);
  void draw(std::ostream& out, const Window& w, const XmlElement& e, int depth);
  const XmlElement* find(const XmlElement& e, const Window& w, const std::string& label);

  struct Loaded {
    std::string xml;
    std::unique_ptr<XmlElement> root;
    std::shared_ptr<UI> ui;
  };
  SimOutlook& outlook_;
  host::RibbonExtensibility* addin_ = nullptr;
  std::map<std::string, Loaded> loaded_;
  // Kept state: (window, control id, attribute) -> value; cleared by invalidation.
  std::map<std::tuple<const void*, std::string, std::string>, host::RibbonResult> kept_;
};

}  // namespace parvex::sim
