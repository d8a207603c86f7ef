// Reading a zip archive's central directory and the local header in front of each entry's data
// (PKWARE APPNOTE 4.3). Every length and offset read from the archive is checked against the
// input before it is used.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "zip_aes.h"
#include "zip_source.h"

namespace pvx::unzip {

struct Entry {
  std::string name;      // UTF-8; ends at the first zero byte of the stored name
  std::string raw_name;  // the stored bytes, for comparison with the local header
  uint16_t version_made_by = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint16_t internal_attr = 0;
  uint32_t external_attr = 0;
  uint32_t crc = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint64_t local_offset = 0;  // in the source, any bytes before the archive included
  std::time_t mtime = -1;     // from the extended timestamp, else from the DOS fields
  bool aes = false;           // it has an AES extra field (0x9901)
  bool aes_usable = false;    // and the field is one this reader knows
  AesExtra aes_extra;
  std::string damage;  // why the record cannot be used; empty when it can

  bool is_dir() const;
  bool is_text() const { return (internal_attr & 1) != 0; }
  bool encrypted() const;
};

struct Directory {
  std::vector<Entry> entries;
  std::string comment;      // raw bytes
  uint64_t stub_bytes = 0;  // bytes before the archive (self-extractor stub or junk)
  uint64_t cd_begin = 0;    // the directory's records as found in the source
  uint64_t cd_end = 0;
};

struct ReadResult {
  int code = 0;                       // PK_OK, PK_WARN, PK_BADERR, PK_NOZIP
  std::vector<std::string> messages;  // texts to show, without the archive name
};

// Reads the end record and every central directory record it can. Entries read before a
// damaged record are kept even when the code is PK_BADERR.
ReadResult read_directory(Source& src, Directory* dir);

// Where an entry's data lies, with the sizes and CRC that its local header gives (or the
// central directory's, for entries whose local header defers them to a data descriptor).
struct EntryData {
  uint64_t header_offset = 0;
  uint64_t data_offset = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint32_t crc = 0;
  uint16_t flags = 0;
  bool name_differs = false;   // the local header stores another name
  bool values_differ = false;  // its sizes or CRC differ from the directory's
};

// Returns PK_OK, PK_ERR (damaged header) or PK_EOF (the data passes the end of the source).
int locate_data(Source& src, const Entry& entry, EntryData* out, std::string* why);

}  // namespace pvx::unzip
