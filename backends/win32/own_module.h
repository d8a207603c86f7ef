// The module that holds this code (the DLL, or a test program linking it) and its full path.
#pragma once

#include <windows.h>

#include <string>

namespace parvex::win {

inline HMODULE own_module() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&own_module), &module);
  return module;
}

// Grows past MAX_PATH: a truncated path would name the wrong folder. Empty on failure.
inline std::wstring own_module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(own_module(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace parvex::win
