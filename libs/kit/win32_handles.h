// Owners for the Win32 handle kinds we use, one line each, over pvx::unique_any.
#pragma once

#ifndef _WIN32
#error "win32_handles.h is for Windows builds only"
#endif

#include <windows.h>

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
