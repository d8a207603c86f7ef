// A minimal archive reader for the tests, independent of the library's own record code:
// it walks the central directory, checks each local header against it and inflates the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

struct Entry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t internal_attr = 0;
  uint32_t crc = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint64_t offset = 0;
  std::string data;  // filled when read with contents
};

struct Archive {
  bool ok = false;
  std::string error;
  bool zip64_end = false;
  std::string comment;
  std::vector<Entry> entries;
  const Entry* find(const std::string& name) const;
};

// Reads `path`; with contents, inflates every entry and checks its CRC and sizes.
Archive read_zip(const std::string& path, bool contents = true);

// Inflates a raw deflate stream that must give exactly usize bytes and end where `in` ends.
bool inflate_raw(const std::string& in, uint64_t usize, std::string* out);

}  // namespace ziptest
