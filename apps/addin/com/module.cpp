#include "module.h"

#include <string>

#include "own_module.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::com {

std::atomic<long>& live_objects() {
  static std::atomic<long> count{0};
  return count;
}

HRESULT interface_type_info(int resource, const GUID& iid, ITypeInfo** out) noexcept {
  *out = nullptr;
  return pvx::win::guard_hresult([&]() -> HRESULT {
    std::wstring path = win::own_module_path();
    if (resource != 1) path += L"\\" + std::to_wstring(resource);
    // oleaut32 caches loaded libraries by path, so this is cheap after the first time.
    pvx::win::com_ptr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
    if (FAILED(hr)) return hr;
    pvx::win::com_ptr<ITypeInfo> info;
    hr = lib->GetTypeInfoOfGuid(iid, info.put());
    if (FAILED(hr)) return hr;
    bool dual = false;
    {
      pvx::win::unique_typeattr attr(info.get());
      hr = attr.fetch();
      if (FAILED(hr)) return hr;
      dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
    }
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
  });
}

}  // namespace parvex::com
