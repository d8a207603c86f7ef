// Windows name rules: '\' separates, device names open devices, and a few characters are not
// allowed in names.
#include <string>

#include "entry_path.h"

namespace pvx::unzip {

const char kSep = '\\';

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 open devices whatever extension follows them.
bool device_name(std::string_view part) {
  std::string stem(part.substr(0, part.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

bool reserved_char(char c) {
  return std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
}

}  // namespace pvx::unzip
