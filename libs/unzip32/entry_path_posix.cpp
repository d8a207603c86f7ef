// POSIX name rules: '/' separates; no name opens a device and every byte but '/' and zero may
// be in a name.
#include "entry_path.h"

namespace pvx::unzip {

const char kSep = '/';

bool device_name(std::string_view) {
  return false;
}

bool reserved_char(char) {
  return false;
}

}  // namespace pvx::unzip
