// Owners for the Win32 handle kinds we use, one line each, over pvx::unique_any.
#pragma once

#ifndef _WIN32
#error "win32_handles.h is for Windows builds only"
#endif

#include <windows.h>
// After windows.h, which it needs.
#include <oleauto.h>

#include "unique_any.h"

namespace pvx::win {

namespace detail {
// Clipboard ownership is held by the window passed to OpenClipboard; closing needs no handle.
inline void close_clipboard(HWND) noexcept {
  CloseClipboard();
}
inline void unlock_global(void* p) noexcept {
  GlobalUnlock(GlobalHandle(p));
}
template <class T>
void release_com(T* p) noexcept {
  p->Release();
}
template <class T>
void delete_gdi_object(T object) noexcept {
  DeleteObject(object);
}
template <class T>
void free_local(T memory) noexcept {
  LocalFree(memory);
}
}  // namespace detail

using unique_hfind = unique_any<HANDLE, &::FindClose, -1>;    // FindFirstFile
using unique_hfile = unique_any<HANDLE, &::CloseHandle, -1>;  // CreateFile
using unique_handle = unique_any<HANDLE, &::CloseHandle>;     // events, processes, threads
using unique_hmodule = unique_any<HMODULE, &::FreeLibrary>;   // LoadLibrary
using unique_hkey = unique_any<HKEY, &::RegCloseKey>;         // RegCreateKeyEx, RegOpenKeyEx
using unique_hglobal = unique_any<HGLOBAL, &::GlobalFree>;    // GlobalAlloc
using unique_hwnd = unique_any<HWND, &::DestroyWindow>;       // CreateWindowEx
using unique_clipboard = unique_any<HWND, &detail::close_clipboard>;   // OpenClipboard(owner)
using unique_global_lock = unique_any<void*, &detail::unlock_global>;  // GlobalLock
template <class T>
using com_ptr = unique_any<T*, &detail::release_com<T>>;  // one counted reference
using unique_bstr = unique_any<BSTR, &::SysFreeString>;   // SysAllocString, [out] BSTR
using unique_hdc = unique_any<HDC, &::DeleteDC>;          // CreateCompatibleDC
template <class T>
using unique_gdi = unique_any<T, &detail::delete_gdi_object<T>>;  // bitmaps, fonts, brushes
template <class T = HLOCAL>
using unique_hlocal = unique_any<T, &detail::free_local<T>>;  // FORMAT_MESSAGE_ALLOCATE_BUFFER

// A window's device context (GetDC, or GetWindowDC for the whole window with its frame), given
// back to that window (ReleaseDC). Null window: the screen's. Neither copied nor moved: it
// lives in one scope.
class window_dc {
 public:
  explicit window_dc(HWND window, bool whole_window = false) noexcept
      : window_(window), dc_(whole_window ? GetWindowDC(window) : GetDC(window)) {}
  window_dc(const window_dc&) = delete;
  window_dc& operator=(const window_dc&) = delete;
  ~window_dc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  HDC get() const noexcept { return dc_; }
  explicit operator bool() const noexcept { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// A VARIANT owned: cleared once, on destruction or reset. Not copied; moving hands it over.
class unique_variant {
 public:
  unique_variant() noexcept { VariantInit(&v_); }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;
  unique_variant(unique_variant&& other) noexcept : v_(other.release()) {}
  unique_variant& operator=(unique_variant&& other) noexcept {
    if (this != &other) {
      reset();
      v_ = other.release();
    }
    return *this;
  }
  ~unique_variant() { reset(); }

  VARIANT* get() noexcept { return &v_; }
  const VARIANT* get() const noexcept { return &v_; }
  // Clears what is held and returns where an out-parameter call may store a new value.
  VARIANT* put() noexcept {
    reset();
    return &v_;
  }
  void reset() noexcept {
    const last_error_kept kept;
    VariantClear(&v_);
  }
  // Gives the value up without clearing it.
  [[nodiscard]] VARIANT release() noexcept {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }

 private:
  VARIANT v_;
};

// A type's attributes, given back to the type information they came from. One scope only.
class unique_typeattr {
 public:
  explicit unique_typeattr(ITypeInfo* type) noexcept : type_(type) {}
  unique_typeattr(const unique_typeattr&) = delete;
  unique_typeattr& operator=(const unique_typeattr&) = delete;
  ~unique_typeattr() {
    if (attr_) type_->ReleaseTypeAttr(attr_);
  }
  // GetTypeAttr's result; the attributes are held when it succeeded.
  HRESULT fetch() noexcept { return type_->GetTypeAttr(&attr_); }
  const TYPEATTR* operator->() const noexcept { return attr_; }
  const TYPEATTR* get() const noexcept { return attr_; }

 private:
  ITypeInfo* type_;
  TYPEATTR* attr_ = nullptr;
};

// Opens the clipboard for owner (a window of ours: with no owner, SetClipboardData fails after
// EmptyClipboard). Empty when another program holds it open.
inline unique_clipboard open_clipboard(HWND owner) noexcept {
  return unique_clipboard(owner && OpenClipboard(owner) ? owner : nullptr);
}

// Locks movable memory; empty when GlobalLock fails.
inline unique_global_lock lock_global(HGLOBAL memory) noexcept {
  return unique_global_lock(memory ? GlobalLock(memory) : nullptr);
}

}  // namespace pvx::win
