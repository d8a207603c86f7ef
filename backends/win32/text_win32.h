// UTF-8 <-> UTF-16 for the Win32 back-end.
#pragma once

#include <string>
#include <string_view>

#include "codepage_win32.h"

namespace parvex::win {

inline std::wstring widen(std::string_view utf8) {
  return pvx::utf8_to_wide(utf8);
}
inline std::string narrow(std::wstring_view wide) {
  return pvx::wide_to_utf8(wide);
}

}  // namespace parvex::win
