// Zip records the writer produces, and the central directory of an archive it appends to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file.h"

namespace pvx::zip {

// What the headers of one new entry say.
struct EntryHeader {
  std::string name;  // UTF-8; folders end with '/'
  uint16_t flags = 0;
  uint16_t method = 0;   // the compression method, under any encryption
  int aes_strength = 0;  // 1..3: an AES entry with a 128-, 192- or 256-bit key
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint64_t offset = 0;       // of the local header
  bool zip64_sizes = false;  // both sizes live in a zip64 extra field, local and central
  bool is_dir = false;
  bool is_text = false;
};

// Exact byte length of the local header that local_header() makes for `h`.
uint64_t local_header_size(const EntryHeader& h);
std::string local_header(const EntryHeader& h);
std::string central_record(const EntryHeader& h);
// The end records: a zip64 end record and locator when a count or an offset needs them.
std::string end_records(uint64_t entries, uint64_t cd_offset, uint64_t cd_size,
                        const std::string& comment);

// One entry of an archive that is already there. Its central record stays as raw bytes in
// Directory::tail, so appending never re-encodes what another tool wrote.
struct OldEntry {
  size_t record_pos = 0;  // in Directory::tail
  size_t record_len = 0;
  size_t name_len = 0;
  size_t offset_field = 0;  // where the offset sits, from the start of the record
  bool offset_is_64 = false;
  uint16_t flags = 0;
  uint16_t made_by = 0;    // version made by: its high byte names the writer's system
  uint32_t dos_stamp = 0;  // date << 16 | time, for the update test
  uint64_t offset = 0;     // of its local header
};

struct Directory {
  // The file from cd_offset on: directory, end records, comment. New entries overwrite it,
  // so this copy is also what a failed append puts back.
  std::string tail;
  size_t cd_size = 0;
  std::vector<OldEntry> entries;
  uint64_t cd_offset = 0;
  std::string comment;

  std::string_view cd() const { return std::string_view(tail).substr(0, cd_size); }
  std::string_view record(const OldEntry& e) const {
    return std::string_view(tail).substr(e.record_pos, e.record_len);
  }
  std::string_view name_raw(const OldEntry& e) const { return record(e).substr(46, e.name_len); }
  // The name as UTF-8, by the rule the unzip library reads names by (decode_zip_name).
  std::string name_utf8(const OldEntry& e) const;
};

// Reads the central directory of an archive `length` bytes long. False when the file is not
// a zip archive this writer can extend (*why says how); reading needs nothing but `f`.
bool read_directory(BinaryFile& f, uint64_t length, Directory* out, std::string* why);

}  // namespace pvx::zip
