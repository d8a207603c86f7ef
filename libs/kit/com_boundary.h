// The guards of COM methods and event sinks: an HRESULT, or an event's EXCEPINFO. A
// DescribedError also leaves its source and text for the caller.
#pragma once

#ifndef _WIN32
#error "com_boundary.h is for Windows builds only"
#endif

#include <type_traits>

#include "boundary.h"
#include "win32_handles.h"

namespace pvx::win {

namespace detail {
inline BSTR bstr_from_utf8(const std::string& utf8) noexcept {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0));
  if (out && n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out, n);
  }
  return out;
}

// Leaves the text of a DescribedError as the thread's error information.
inline void set_error_info(const DescribedError& e) noexcept {
  com_ptr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return;
  const unique_bstr source(bstr_from_utf8(e.source())),
      description(bstr_from_utf8(e.description()));
  create->SetSource(source.get());
  create->SetDescription(description.get());
  com_ptr<IErrorInfo> info;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put())))) {
    SetErrorInfo(0, info.get());
  }
}
}  // namespace detail

// The guard of a COM method: body's HRESULT (S_OK when it returns nothing), or the HRESULT of
// what it threw.
template <class Body>
HRESULT guard_hresult(Body&& body) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (...) {
    try {
      throw;
    } catch (const DescribedError& e) {
      detail::set_error_info(e);
      return e.hresult();
    } catch (...) {
      return hresult_from_caught_exception();
    }
  }
}

// The guard of an event sink's Invoke: body's HRESULT, or DISP_E_EXCEPTION with info (when
// given) filled from what it threw.
template <class Body>
HRESULT guard_event(EXCEPINFO* info, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    if (!info) return DISP_E_EXCEPTION;
    *info = EXCEPINFO{};
    try {
      throw;
    } catch (const DescribedError& e) {
      info->scode = e.hresult();
      info->bstrSource = detail::bstr_from_utf8(e.source());
      info->bstrDescription = detail::bstr_from_utf8(e.description());
    } catch (...) {
      info->scode = hresult_from_caught_exception();
    }
    return DISP_E_EXCEPTION;
  }
}

}  // namespace pvx::win
