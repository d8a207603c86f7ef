// The host's ribbon, as an add-in object with IRibbonExtensibility meets it: the host asks for
// the markup of each ribbon by its id, then calls the callbacks that markup names, by name, with
// the control and the window (explorer or inspector) it sits in.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "host/host.h"

namespace parvex::host {

// IRibbonUI, handed to the markup's onLoad callback.
class RibbonUI {
 public:
  virtual ~RibbonUI() = default;
  virtual void Invalidate() = 0;
  virtual void InvalidateControl(const std::string& control_id) = 0;
};

// IRibbonControl: the control's id and its Context, the window it is drawn in (one of the two).
struct RibbonControl {
  std::string id;
  Ref<Explorer> explorer;
  Ref<Inspector> inspector;
};

// The callback shapes the host calls, told by the markup attribute that names the callback.
enum class RibbonCall {
  load,       // onLoad(IRibbonUI)
  action,     // a button's onAction(control)
  toggle,     // a toggle button's onAction(control, pressed)
  get_bool,   // getPressed, getEnabled, getVisible: (control) -> boolean
  get_text,   // getLabel, getSupertip, getScreentip: (control) -> text
  get_image,  // getImage: (control) -> picture
};

// A picture of the add-in's own: a file name under resources/ drawn at size x size pixels.
struct RibbonImage {
  std::string file_name;
  int32_t size = 0;
};

struct RibbonArgs {
  Ref<RibbonUI> ui;  // load
  RibbonControl control;
  bool pressed = false;  // toggle
};

using RibbonResult = std::variant<std::monostate, bool, std::string, RibbonImage>;

// What the host reaches on an add-in object that has a ribbon.
class RibbonExtensibility {
 public:
  virtual ~RibbonExtensibility() = default;
  // The markup for one ribbon; empty for a ribbon the add-in does not change.
  virtual std::string GetCustomUI(const std::string& ribbon_id) = 0;
  // A callback's id, as IDispatch::GetIDsOfNames gives it (names compared ignoring case); 0
  // when the object has no member of that name.
  virtual int32_t GetIDOfName(const std::string& name) = 0;
  // The shape of the callback with that id, for a caller with only the arguments in hand.
  virtual RibbonCall ShapeOf(int32_t id) = 0;
  // Calls it; raises when the id is unknown or the shape is not the callback's.
  virtual RibbonResult Invoke(int32_t id, RibbonCall call, const RibbonArgs& args) = 0;
};

// The markup's namespace: the one the host reads callbacks such as getImage from.
inline constexpr const char* kCustomUiNamespace =
    "http://schemas.microsoft.com/office/2009/07/customui";
inline constexpr const char* kExplorerRibbon = "Microsoft.Outlook.Explorer";
inline constexpr const char* kComposeRibbon = "Microsoft.Outlook.Mail.Compose";

}  // namespace parvex::host
