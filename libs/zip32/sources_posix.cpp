// POSIX path rules: '/' separates, there are no drives, names differ by case.
#include "sources.h"

namespace pvx::zip {

const char kSep = '/';

bool is_separator(char c) {
  return c == '/';
}

std::string_view without_drive(std::string_view name) {
  return name;
}

std::string name_key(std::string_view name) {
  return std::string(name);
}

}  // namespace pvx::zip
