// UTF-8 to and from the UTF-16 of the Windows API: Windows builds only.
#pragma once

#include <string>
#include <string_view>

#include "codepage.h"

namespace pvx {

std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);

}  // namespace pvx
