#include <sys/stat.h>

#include "file_id.h"

namespace pvx::zip {

FileId file_id(const std::string& utf8_path) {
  FileId id;
  struct stat st;
  if (::stat(utf8_path.c_str(), &st) != 0) return id;
  id.volume = static_cast<uint64_t>(st.st_dev);
  id.index = static_cast<uint64_t>(st.st_ino);
  id.valid = true;
  return id;
}

}  // namespace pvx::zip
