#include "sim/sim_ribbon.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

#include "core/failure.h"

namespace parvex::sim {
namespace {

using host::RibbonCall;

// The attributes each element of the markup may carry (a subset of what the host knows: the
// elements a ribbon of tabs, groups and simple controls is made of).
const std::set<std::string>& common_control_attributes() {
  static const std::set<std::string> names{"id",           "idMso",          "idQ",
                                           "tag",          "label",          "getLabel",
                                           "enabled",      "getEnabled",     "visible",
                                           "getVisible",   "screentip",      "getScreentip",
                                           "supertip",     "getSupertip",    "keytip",
                                           "getKeytip",    "insertAfterMso", "insertBeforeMso",
                                           "insertAfterQ", "insertBeforeQ",  "showLabel",
                                           "getShowLabel"};
  return names;
}

std::set<std::string> with(std::set<std::string> base, std::initializer_list<const char*> more) {
  for (const char* m : more) base.insert(m);
  return base;
}

struct ElementRule {
  std::set<std::string> attributes;
  std::set<std::string> children;
};

const std::map<std::string, ElementRule>& rules() {
  static const std::set<std::string> controls{"button", "toggleButton", "checkBox", "labelControl",
                                              "separator"};
  static const std::set<std::string> button_attributes = with(
      common_control_attributes(), {"image", "imageMso", "getImage", "size", "getSize", "onAction",
                                    "showImage", "getShowImage", "description", "getDescription"});
  static const std::map<std::string, ElementRule> r{
      {"customUI", {{"onLoad", "loadImage"}, {"ribbon"}}},
      {"ribbon", {{"startFromScratch"}, {"tabs", "contextualTabs"}}},
      {"tabs", {{}, {"tab"}}},
      {"contextualTabs", {{}, {"tabSet"}}},
      {"tabSet", {{"idMso", "visible", "getVisible"}, {"tab"}}},
      {"tab",
       {{"id", "idMso", "idQ", "tag", "label", "getLabel", "visible", "getVisible", "keytip",
         "getKeytip", "insertAfterMso", "insertBeforeMso", "insertAfterQ", "insertBeforeQ"},
        {"group"}}},
      {"group",
       {with(common_control_attributes(),
             {"image", "imageMso", "getImage", "autoScale", "centerVertically"}),
        controls}},
      {"button", {button_attributes, {}}},
      {"toggleButton", {with(button_attributes, {"getPressed"}), {}}},
      {"checkBox",
       {with(common_control_attributes(),
             {"onAction", "getPressed", "description", "getDescription"}),
        {}}},
      {"labelControl", {common_control_attributes(), {}}},
      {"separator",
       {{"id", "idQ", "tag", "visible", "getVisible", "insertAfterMso", "insertBeforeMso",
         "insertAfterQ", "insertBeforeQ"},
        {}}},
  };
  return r;
}

// The built-in tabs of each ribbon an add-in may add to; contextual tab sets as "SET/TAB".
const std::set<std::string>& host_tabs(const std::string& ribbon_id) {
  static const std::map<std::string, std::set<std::string>> tabs{
      {host::kExplorerRibbon,
       {"TabMail", "TabFolder", "TabView", "TabSendReceive", "TabDeveloper", "TabAddIns",
        "TabCalendar", "TabContacts", "TabTasks", "TabComposeTools/TabMessage",
        "TabComposeTools/TabFormatText", "TabComposeTools/TabInsert"}},
      {host::kComposeRibbon,
       {"TabNewMailMessage", "TabInsert", "TabOptions", "TabFormatText", "TabReview",
        "TabDeveloper", "TabAddIns"}},
  };
  static const std::set<std::string> none;
  const auto it = tabs.find(ribbon_id);
  return it == tabs.end() ? none : it->second;
}

// Attributes of which a control may carry one at most: a value, or the callback that gives it.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kExclusive{{
    {"label", "getLabel"},
    {"supertip", "getSupertip"},
    {"screentip", "getScreentip"},
    {"enabled", "getEnabled"},
    {"visible", "getVisible"},
    {"size", "getSize"},
    {"image", "getImage"},
}};

bool is_callback(const std::string& attribute) {
  return attribute == "onLoad" || attribute == "onAction" || attribute == "loadImage" ||
         (attribute.size() > 3 && attribute.starts_with("get") &&
          std::isupper(static_cast<unsigned char>(attribute[3])));
}

bool is_id(const std::string& s) {
  if (s.empty() || s.size() > 1024) return false;
  if (!std::isalpha(static_cast<unsigned char>(s[0])) && s[0] != '_') return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
  });
}

void check_element(const XmlElement& e, const std::string& parent,
                   host::RibbonExtensibility& callbacks, std::set<std::string>& ids,
                   std::vector<std::string>& problems) {
  const auto where = [&] {
    const std::string* id = e.attribute("id");
    if (!id) id = e.attribute("idMso");
    return "<" + e.name + (id ? " " + *id : "") + ">";
  };
  if (e.ns != host::kCustomUiNamespace) {
    problems.push_back(where() + " is not in the namespace " + host::kCustomUiNamespace);
    return;
  }
  const auto rule = rules().find(e.name);
  if (rule == rules().end()) {
    problems.push_back(where() + " is no element the host knows here");
    return;
  }
  const auto parent_rule = rules().find(parent);
  if (parent.empty()
          ? e.name != "customUI"
          : parent_rule == rules().end() || !parent_rule->second.children.count(e.name)) {
    problems.push_back(where() + " cannot stand in <" + (parent.empty() ? "document" : parent) +
                       ">");
  }
  for (const auto& [key, value] : e.attributes) {
    if (!rule->second.attributes.count(key)) {
      problems.push_back(where() + " has no attribute " + key);
    } else if (is_callback(key) && callbacks.GetIDOfName(value) == 0) {
      problems.push_back(where() + " " + key + "=\"" + value +
                         "\": no such member on the add-in's IDispatch");
    }
  }
  for (const auto& [a, b] : kExclusive) {
    if (e.attribute(std::string(a)) && e.attribute(std::string(b)))
      problems.push_back(where() + " has both " + std::string(a) + " and " + std::string(b));
  }
  const bool identified =
      e.name == "tab" || e.name == "group" || rules().at("group").children.count(e.name);
  if (identified && e.name != "separator") {
    const int n =
        (e.attribute("id") ? 1 : 0) + (e.attribute("idMso") ? 1 : 0) + (e.attribute("idQ") ? 1 : 0);
    if (n != 1) problems.push_back(where() + " needs exactly one of id, idMso and idQ");
  }
  if (const std::string* id = e.attribute("id")) {
    if (!is_id(*id)) problems.push_back(where() + " has an id the host refuses");
    if (!ids.insert(*id).second) problems.push_back(where() + " repeats the id " + *id);
  }
  if (e.name == "tabSet" && !e.attribute("idMso"))
    problems.push_back(where() + " names no built-in tab set");
  for (const XmlElement& c : e.children) {
    check_element(c, e.name, callbacks, ids, problems);
  }
}

// Built-in tabs named, as "TAB" or "SET/TAB", with the element naming them.
void built_in_tabs(const XmlElement& e, const std::string& set, std::vector<std::string>& names) {
  for (const XmlElement& c : e.children) {
    if (c.name == "tabSet" && c.attribute("idMso")) {
      built_in_tabs(c, *c.attribute("idMso"), names);
    } else if (c.name == "tab" && c.attribute("idMso")) {
      names.push_back(set.empty() ? *c.attribute("idMso") : set + "/" + *c.attribute("idMso"));
    } else {
      built_in_tabs(c, set, names);
    }
  }
}

bool pressed(const host::RibbonResult& r) {
  const auto* b = std::get_if<bool>(&r);
  return b && *b;
}

bool is_control(const XmlElement& e) {
  return e.name == "button" || e.name == "toggleButton" || e.name == "checkBox" ||
         e.name == "labelControl";
}

std::string show(const host::RibbonResult& r) {
  if (const auto* b = std::get_if<bool>(&r)) return *b ? "true" : "false";
  if (const auto* s = std::get_if<std::string>(&r)) return *s;
  if (const auto* i = std::get_if<host::RibbonImage>(&r))
    return i->file_name + " " + std::to_string(i->size) + " px";
  return {};
}

}  // namespace

const std::string* XmlElement::attribute(const std::string& key) const {
  for (const auto& [k, v] : attributes) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::vector<std::string> check_custom_ui(const std::string& ribbon_id, const XmlElement& root,
                                         host::RibbonExtensibility& callbacks) {
  std::vector<std::string> problems;
  std::set<std::string> ids;
  check_element(root, "", callbacks, ids, problems);
  std::vector<std::string> tabs;
  built_in_tabs(root, "", tabs);
  for (const std::string& t : tabs) {
    if (!host_tabs(ribbon_id).count(t))
      problems.push_back("<tab " + t + "> is no built-in tab of " + ribbon_id);
  }
  return problems;
}

// IRibbonUI as the host hands it to onLoad: invalidation drops the kept state.
class SimRibbon::UI final : public host::RibbonUI {
 public:
  explicit UI(SimRibbon* owner) : owner_(owner) {}
  void Invalidate() override {
    if (owner_) owner_->kept_.clear();
  }
  void InvalidateControl(const std::string& control_id) override {
    if (!owner_) return;
    std::erase_if(owner_->kept_,
                  [&](const auto& kv) { return std::get<1>(kv.first) == control_id; });
  }
  void detach() { owner_ = nullptr; }

 private:
  SimRibbon* owner_;
};

struct SimRibbon::Window {
  std::string ribbon_id;
  const void* key = nullptr;
  std::string caption;
  host::RibbonControl context;  // its id filled per control
  bool inline_reply = false;
};

SimRibbon::~SimRibbon() {
  unload();
}

void SimRibbon::unload() {
  for (auto& [id, l] : loaded_) {
    if (l.ui) l.ui->detach();
  }
  loaded_.clear();
  kept_.clear();
  addin_ = nullptr;
}

void SimRibbon::load(host::RibbonExtensibility& addin, const std::string& ribbon_id) {
  if (addin_ != &addin) unload();
  addin_ = &addin;
  if (loaded_.count(ribbon_id)) return;
  Loaded& l = loaded_[ribbon_id];
  l.xml = addin.GetCustomUI(ribbon_id);
  if (l.xml.empty()) return;
  auto root = std::make_unique<XmlElement>(parse_xml(l.xml));
  const std::vector<std::string> problems = check_custom_ui(ribbon_id, *root, addin);
  if (!problems.empty()) {
    std::string text = "the host refuses the add-in's " + ribbon_id + " markup:";
    for (const std::string& p : problems) text += "\n  " + p;
    loaded_.erase(ribbon_id);
    raise(err::kInvalidCall, text);
  }
  l.root = std::move(root);
  if (const std::string* on_load = l.root->attribute("onLoad")) {
    l.ui = std::make_shared<UI>(this);
    host::RibbonArgs args;
    args.ui = l.ui;
    addin.Invoke(addin.GetIDOfName(*on_load), RibbonCall::load, args);
  }
}

SimRibbon::Window SimRibbon::active() {
  if (!addin_) raise(err::kObjectRequired, "no add-in has a ribbon here");
  Window w;
  for (auto it = outlook_.inspectors().rbegin(); it != outlook_.inspectors().rend(); ++it) {
    if ((*it)->item() && (*it)->item()->item_class() == host::kClassMail && !(*it)->closed()) {
      // The host asks for the compose ribbon when the first such window opens.
      load(*addin_, host::kComposeRibbon);
      w.ribbon_id = host::kComposeRibbon;
      w.key = it->get();
      w.caption = (*it)->Caption();
      w.context.inspector = outlook_.hand_out<host::Inspector>(*it);
      return w;
    }
  }
  if (outlook_.explorers().empty()) raise(err::kObjectRequired, "no window is open");
  const auto& e = outlook_.explorers().back();
  w.ribbon_id = host::kExplorerRibbon;
  w.key = e.get();
  w.caption = e->Caption();
  w.context.explorer = outlook_.hand_out<host::Explorer>(e);
  w.inline_reply = e->ActiveInlineResponse() != nullptr;
  return w;
}

host::RibbonResult SimRibbon::value(const Window& w, const XmlElement& control,
                                    const std::string& attr, RibbonCall call) {
  const std::string* id = control.attribute("id");
  const std::string* callback = control.attribute(attr);
  if (!id || !callback) return {};
  const auto key = std::make_tuple(w.key, *id, attr);
  if (const auto it = kept_.find(key); it != kept_.end()) return it->second;
  host::RibbonArgs args;
  args.control = w.context;
  args.control.id = *id;
  host::RibbonResult r = addin_->Invoke(addin_->GetIDOfName(*callback), call, args);
  kept_[key] = r;
  return r;
}

void SimRibbon::draw(std::ostream& out, const Window& w, const XmlElement& e, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  if (e.name == "tabSet" && !w.inline_reply) return;  // shown only while a reply is written
  if (e.name == "tab" || e.name == "tabSet") {
    const std::string* name = e.attribute("idMso") ? e.attribute("idMso") : e.attribute("label");
    out << indent << (e.name == "tab" ? "Tab " : "Tab set ") << (name ? *name : "?") << "\n";
  } else if (e.name == "group") {
    const std::string* label = e.attribute("label");
    out << indent << "Group " << (label ? *label : "?") << "\n";
  } else if (is_control(e)) {
    std::string label = e.attribute("label") ? *e.attribute("label")
                                             : show(value(w, e, "getLabel", RibbonCall::get_text));
    out << indent << e.name << " \"" << label << "\"";
    if (e.name == "toggleButton" || e.name == "checkBox")
      out << (pressed(value(w, e, "getPressed", RibbonCall::get_bool)) ? " pressed" : " released");
    const auto enabled = value(w, e, "getEnabled", RibbonCall::get_bool);
    if (const auto* b = std::get_if<bool>(&enabled); b && !*b) out << " disabled";
    const auto image = value(w, e, "getImage", RibbonCall::get_image);
    if (!std::holds_alternative<std::monostate>(image)) out << " [" << show(image) << "]";
    const std::string tip = e.attribute("supertip")
                                ? *e.attribute("supertip")
                                : show(value(w, e, "getSupertip", RibbonCall::get_text));
    if (!tip.empty()) out << ": " << tip;
    out << "\n";
    return;
  }
  for (const XmlElement& c : e.children)
    draw(out, w, c, e.name == "tab" || e.name == "group" || e.name == "tabSet" ? depth + 1 : depth);
}

void SimRibbon::print(std::ostream& out) {
  const Window w = active();
  out << "Ribbon of \"" << w.caption << "\" (" << w.ribbon_id << "):\n";
  const auto it = loaded_.find(w.ribbon_id);
  if (it == loaded_.end() || !it->second.root) {
    out << "  (nothing of the add-in)\n";
    return;
  }
  draw(out, w, *it->second.root, 1);
}

const XmlElement* SimRibbon::find(const XmlElement& e, const Window& w, const std::string& label) {
  if (e.name == "tabSet" && !w.inline_reply) return nullptr;
  if (is_control(e)) {
    const std::string* id = e.attribute("id");
    const std::string shown = e.attribute("label")
                                  ? *e.attribute("label")
                                  : show(value(w, e, "getLabel", RibbonCall::get_text));
    if ((id && *id == label) || shown == label) return &e;
  }
  for (const XmlElement& c : e.children) {
    if (const XmlElement* f = find(c, w, label)) return f;
  }
  return nullptr;
}

void SimRibbon::press(const std::string& how, const std::string& label) {
  const Window w = active();
  const auto it = loaded_.find(w.ribbon_id);
  const XmlElement* control =
      it == loaded_.end() || !it->second.root ? nullptr : find(*it->second.root, w, label);
  if (!control) raise(err::kObjectRequired, "no ribbon control \"" + label + "\" in this window");
  const bool toggle = control->name == "toggleButton" || control->name == "checkBox";
  if (toggle != (how == "toggle"))
    raise(err::kInvalidCall, "\"" + label + "\" is a " + control->name + ": use ribbon " +
                                 (toggle ? "toggle" : "click"));
  const auto enabled = value(w, *control, "getEnabled", RibbonCall::get_bool);
  if (const auto* b = std::get_if<bool>(&enabled); b && !*b)
    raise(err::kPermissionDenied, "\"" + label + "\" is disabled");
  const std::string* action = control->attribute("onAction");
  if (!action) return;
  host::RibbonArgs args;
  args.control = w.context;
  args.control.id = *control->attribute("id");
  if (toggle) {
    args.pressed = !pressed(value(w, *control, "getPressed", RibbonCall::get_bool));
    // The host shows the new state at once, until the add-in invalidates it.
    kept_[std::make_tuple(w.key, args.control.id, std::string("getPressed"))] = args.pressed;
  }
  addin_->Invoke(addin_->GetIDOfName(*action), toggle ? RibbonCall::toggle : RibbonCall::action,
                 args);
}

}  // namespace parvex::sim
