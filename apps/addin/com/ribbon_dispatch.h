// The ribbon's side of the add-in object: IRibbonExtensibility, and the callbacks its markup
// names, reached by name through the object's IDispatch as the host reaches them.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include "host/ribbon.h"

// As the Office type library declares it: dual, with one method of its own.
MIDL_INTERFACE("000C0396-0000-0000-C000-000000000046")
IRibbonExtensibility : public IDispatch {
 public:
  virtual HRESULT STDMETHODCALLTYPE GetCustomUI(BSTR RibbonID, BSTR * RibbonXml) = 0;
};

namespace parvex::com {

inline constexpr IID kIidIRibbonExtensibility = {
    0x000C0396, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// GetCustomUI's id on IRibbonExtensibility's IDispatch.
inline constexpr DISPID kDispidGetCustomUI = 1;

// GetCustomUI over the core's ribbon; the failure's text is left as error information.
HRESULT custom_ui(host::RibbonExtensibility& ribbon, BSTR ribbon_id, BSTR* xml) noexcept;

// IDispatch of the add-in object for the callbacks: S_OK with their ids, or
// DISP_E_UNKNOWNNAME when a name is none of them.
HRESULT callback_ids(host::RibbonExtensibility& ribbon, LPOLESTR* names, UINT n,
                     DISPID* ids) noexcept;
// Calls one, its arguments converted as the host passes them (IRibbonControl, pressed) and its
// result as the host reads it (VARIANT_BOOL, BSTR, IPictureDisp).
HRESULT invoke_callback(host::RibbonExtensibility& ribbon, DISPID id, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep) noexcept;

}  // namespace parvex::com
