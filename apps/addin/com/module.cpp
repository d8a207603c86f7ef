#include "module.h"

#include <string>

#include "boundary.h"
#include "core/failure.h"
#include "own_module.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::com {

std::atomic<long>& live_objects() {
  static std::atomic<long> count{0};
  return count;
}

namespace {

HRESULT hresult_of(const Failure& f) noexcept {
  return f.number() < 0 ? static_cast<HRESULT>(f.number())
                        : MAKE_HRESULT(SEVERITY_ERROR, 0x0A, f.number() & 0xFFFF);
}

BSTR bstr(const std::string& utf8) noexcept {
  try {
    const std::wstring w = win::widen(utf8);
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

HRESULT caught_hresult() noexcept {
  try {
    throw;
  } catch (const Failure& f) {
    pvx::win::com_ptr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
      const pvx::win::unique_bstr source(bstr(f.source())), description(bstr(f.description()));
      create->SetSource(source.get());
      create->SetDescription(description.get());
      pvx::win::com_ptr<IErrorInfo> info;
      if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put()))))
        SetErrorInfo(0, info.get());
    }
    return hresult_of(f);
  } catch (...) {
    return pvx::hresult_from_caught_exception();
  }
}

HRESULT caught_event_exception(EXCEPINFO* info) noexcept {
  try {
    throw;
  } catch (const Failure& f) {
    if (info) {
      *info = EXCEPINFO{};
      info->scode = hresult_of(f);
      info->bstrSource = bstr(f.source());
      info->bstrDescription = bstr(f.description());
    }
  } catch (...) {
    if (info) {
      *info = EXCEPINFO{};
      info->scode = pvx::hresult_from_caught_exception();
    }
  }
  return DISP_E_EXCEPTION;
}

HRESULT interface_type_info(int resource, const GUID& iid, ITypeInfo** out) noexcept {
  *out = nullptr;
  try {
    std::wstring path = win::own_module_path();
    if (resource != 1) path += L"\\" + std::to_wstring(resource);
    // oleaut32 caches loaded libraries by path, so this is cheap after the first time.
    pvx::win::com_ptr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
    if (FAILED(hr)) return hr;
    pvx::win::com_ptr<ITypeInfo> info;
    hr = lib->GetTypeInfoOfGuid(iid, info.put());
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    hr = info->GetTypeAttr(&attr);
    if (FAILED(hr)) return hr;
    const bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);
    if (dual) {
      HREFTYPE ref = 0;
      pvx::win::com_ptr<ITypeInfo> vtable_half;
      if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) &&
          SUCCEEDED(info->GetRefTypeInfo(ref, vtable_half.put()))) {
        info = std::move(vtable_half);
      }
    }
    *out = info.release();
    return S_OK;
  } catch (...) {
    return caught_hresult();
  }
}

}  // namespace parvex::com
