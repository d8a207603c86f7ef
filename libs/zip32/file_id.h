// Identity of a file independent of how its path is spelled (device and file number).
#pragma once

#include <cstdint>
#include <string>

namespace pvx::zip {

struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool valid = false;
};

FileId file_id(const std::string& utf8_path);
// Two valid ids of one file.
inline bool same_file(const FileId& a, const FileId& b) {
  return a.valid && b.valid && a.volume == b.volume && a.index == b.index;
}

}  // namespace pvx::zip
