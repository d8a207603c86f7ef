#include "ribbon_dispatch.h"

#include <olectl.h>

#include <cwctype>
#include <memory>
#include <string>
#include <utility>

#include "com_boundary.h"
#include "core/failure.h"
#include "dispatch.h"
#include "host_dispatch.h"
#include "module.h"
#include "own_module.h"
#include "text_win32.h"

namespace parvex::com {
namespace {

// IRibbonUI as the core holds it: invalidation by name, late-bound.
class RibbonUIAdapter final : public host::RibbonUI {
 public:
  explicit RibbonUIAdapter(IDispatch* ui) : ui_(share(ui), "IRibbonUI") {}
  void Invalidate() override { ui_.call(L"Invalidate"); }
  void InvalidateControl(const std::string& control_id) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(control_id));
    ui_.call(L"InvalidateControl", std::move(args));
  }

 private:
  Dispatch ui_;
  LiveObject live_;
};

// The argument at position i (in declared order) as an object.
ComPtr<IDispatch> object_argument(const DISPPARAMS& p, UINT i) {
  if (i >= p.cArgs) raise(static_cast<int32_t>(DISP_E_BADPARAMCOUNT), "Wrong number of arguments");
  Variant v;
  if (FAILED(VariantCopyInd(v.get(), &p.rgvarg[p.cArgs - 1 - i])))
    raise(static_cast<int32_t>(DISP_E_TYPEMISMATCH), "Type mismatch");
  return v.to_dispatch();
}

bool has_member(IDispatch* object, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
}

// IRibbonControl: its Id, and its Context, the inspector (which shows an item) or the explorer.
host::RibbonControl control_of(IDispatch* control) {
  if (!control) raise(err::kObjectRequired, "Object required");
  Dispatch c(share(control), "IRibbonControl");
  host::RibbonControl r;
  r.id = c.get(L"Id").to_string();
  const ComPtr<IDispatch> context = c.get(L"Context").to_dispatch();
  if (context && has_member(context.get(), L"CurrentItem")) {
    r.inspector = make_inspector(context.get());
  } else if (context) {
    r.explorer = make_explorer(context.get());
  }
  return r;
}

// The add-in's icon at size x size pixels, as a picture the host draws.
IDispatch* picture_of(const host::RibbonImage& image) {
  std::wstring name;
  for (const char ch : image.file_name)
    name += std::iswalnum(static_cast<wint_t>(ch)) ? static_cast<wchar_t>(std::towupper(ch)) : L'_';
  const auto icon = static_cast<HICON>(
      LoadImageW(win::own_module(), name.c_str(), IMAGE_ICON, image.size, image.size, 0));
  if (!icon) raise(err::kFileNotFound, "No picture " + image.file_name);
  PICTDESC desc{};
  desc.cbSizeofstruct = sizeof desc;
  desc.picType = PICTYPE_ICON;
  desc.icon.hicon = icon;
  IDispatch* picture = nullptr;
  // The picture owns the icon from here on.
  const HRESULT hr =
      OleCreatePictureIndirect(&desc, IID_IPictureDisp, TRUE, reinterpret_cast<void**>(&picture));
  if (FAILED(hr)) {
    DestroyIcon(icon);
    raise(static_cast<int32_t>(hr), "Cannot make the picture " + image.file_name);
  }
  return picture;
}

}  // namespace

HRESULT custom_ui(host::RibbonExtensibility& ribbon, BSTR ribbon_id, BSTR* xml) noexcept {
  if (!xml) return E_POINTER;
  *xml = nullptr;
  return pvx::win::guard_hresult([&] {
    const std::string text = ribbon.GetCustomUI(
        win::narrow(std::wstring_view(ribbon_id ? ribbon_id : L"", SysStringLen(ribbon_id))));
    // Nothing for a ribbon we leave alone: a null string, as the host expects.
    if (text.empty()) return;
    const std::wstring wide = win::widen(text);
    *xml = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!*xml) raise(err::kOutOfMemory, "Out of memory");
  });
}

HRESULT callback_ids(host::RibbonExtensibility& ribbon, LPOLESTR* names, UINT n,
                     DISPID* ids) noexcept {
  if (!names || !ids || n == 0) return E_POINTER;
  return pvx::win::guard_hresult([&]() -> HRESULT {
    const int32_t id = ribbon.GetIDOfName(win::narrow(names[0]));
    for (UINT i = 0; i < n; ++i) ids[i] = DISPID_UNKNOWN;
    if (id == 0) return DISP_E_UNKNOWNNAME;
    ids[0] = id;
    // Callbacks take no named arguments.
    return n == 1 ? S_OK : DISP_E_UNKNOWNNAME;
  });
}

HRESULT invoke_callback(host::RibbonExtensibility& ribbon, DISPID id, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep) noexcept {
  if (!params) return E_POINTER;
  if (result) VariantInit(result);
  return pvx::win::guard_event(excep, [&]() -> HRESULT {
    const host::RibbonCall shape = ribbon.ShapeOf(id);
    const UINT wanted = shape == host::RibbonCall::toggle ? 2 : 1;
    if (params->cArgs != wanted) return DISP_E_BADPARAMCOUNT;
    host::RibbonArgs args;
    const ComPtr<IDispatch> first = object_argument(*params, 0);
    if (shape == host::RibbonCall::load) {
      if (!first) raise(err::kObjectRequired, "Object required");
      args.ui = std::make_shared<RibbonUIAdapter>(first.get());
    } else {
      args.control = control_of(first.get());
    }
    if (shape == host::RibbonCall::toggle) {
      Variant pressed;
      if (FAILED(VariantChangeType(pressed.get(), &params->rgvarg[0], 0, VT_BOOL)))
        return DISP_E_TYPEMISMATCH;
      args.pressed = (*pressed).boolVal != VARIANT_FALSE;
    }
    const host::RibbonResult r = ribbon.Invoke(id, shape, args);
    if (!result) return S_OK;
    if (const auto* b = std::get_if<bool>(&r)) {
      result->vt = VT_BOOL;
      result->boolVal = *b ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (const auto* s = std::get_if<std::string>(&r)) {
      Variant v = Variant::of(*s);
      v.detach_to(result);
    } else if (const auto* image = std::get_if<host::RibbonImage>(&r)) {
      result->vt = VT_DISPATCH;
      result->pdispVal = picture_of(*image);
    }
    return S_OK;
  });
}

}  // namespace parvex::com
