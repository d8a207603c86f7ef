// Windows path rules: both slashes separate, a drive letter may lead, names ignore ASCII case.
#include "sources.h"

namespace pvx::zip {

const char kSep = '\\';

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

std::string_view without_drive(std::string_view name) {
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    name.remove_prefix(2);
  }
  return name;
}

std::string name_key(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return key;
}

}  // namespace pvx::zip
