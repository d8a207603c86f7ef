// The zip records both libraries read: the end record, the zip64 locator and end record, and
// central headers with their zip64 extra field. Layouts and bounds only; what a library
// tolerates, and the errors it reports, stay with the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "le.h"

namespace pvx {

// Little-endian reads over bytes taken from an archive. A read past the end fails: it
// returns zero or an empty view, and ok() stays false from then on.
class ByteCursor {
 public:
  explicit ByteCursor(std::string_view bytes) : bytes_(bytes) {}

  uint16_t u16() { return take(2) ? get16(at(pos_ - 2)) : 0; }
  uint32_t u32() { return take(4) ? get32(at(pos_ - 4)) : 0; }
  uint64_t u64() { return take(8) ? get64(at(pos_ - 8)) : 0; }
  std::string_view bytes(size_t n) { return take(n) ? bytes_.substr(pos_ - n, n) : ""; }
  bool skip(size_t n) { return take(n); }

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }

 private:
  bool take(size_t n) {
    if (!ok_ || n > remaining()) return ok_ = false;
    pos_ += n;
    return true;
  }
  const unsigned char* at(size_t i) const {
    return reinterpret_cast<const unsigned char*>(bytes_.data()) + i;
  }

  std::string_view bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

struct EndRecord {
  uint16_t disk = 0;
  uint16_t cd_disk = 0;
  uint16_t entries = 0;  // in the whole directory
  uint32_t cd_size = 0;
  uint32_t cd_offset = 0;
  uint16_t comment_length = 0;
};

struct Zip64End {
  uint32_t disk = 0;
  uint32_t cd_disk = 0;
  uint64_t entries = 0;
  uint64_t cd_size = 0;
  uint64_t cd_offset = 0;
};

// Each parser reads its record from the front of `rec`; nullopt without the signature or
// without the bytes the record needs.
std::optional<EndRecord> parse_end_record(std::string_view rec);
// The locator gives the offset of the zip64 end record.
std::optional<uint64_t> parse_zip64_locator(std::string_view rec);
std::optional<Zip64End> parse_zip64_end(std::string_view rec);

// Reads n bytes at offset of the archive; false unless all of them are there.
using ReadAt = std::function<bool(uint64_t offset, void* out, size_t n)>;

// One end record, with the zip64 records in front of it when there are any.
struct EndRecords {
  uint64_t position = 0;  // of the end record in the file
  EndRecord end;
  std::string_view comment;  // as much of the comment as the file holds
  bool locator = false;      // a zip64 locator sits right before the end record
  std::optional<Zip64End> zip64;
  uint64_t zip64_position = 0;
  // The zip64 end record lies where the locator says. Otherwise it was found right before the
  // locator: bytes in front of the archive moved it.
  bool zip64_as_stated = false;
};

// The search back from the end of an archive for its end record: the last 64 KiB and 22 bytes
// hold it and its comment. Each call of next() gives the next candidate toward the front, so
// that a reader can pass over one it cannot use (an archive stored in another's comment).
// What a reader accepts of a candidate is its own affair.
class EndRecordSearch {
 public:
  EndRecordSearch(ReadAt read, uint64_t size);
  // False when the bytes at the end of the archive could not be read.
  bool read_ok() const { return read_ok_; }
  std::optional<EndRecords> next();

 private:
  static constexpr uint64_t kFirstWindow = 4096;
  bool load(uint64_t span);  // the last span bytes of the archive

  ReadAt read_;
  uint64_t size_ = 0;
  uint64_t window_start_ = 0;
  std::string window_;
  uint64_t next_ = 0;  // where the next signature may start at the latest
  bool read_ok_ = false;
  bool done_ = false;
};

struct CentralHeader {
  uint16_t made_by = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint32_t disk = 0;
  uint16_t internal_attr = 0;
  uint32_t external_attr = 0;
  uint64_t offset = 0;  // of the local header
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  uint16_t comment_length = 0;
  // Set only when the bytes given hold the whole record.
  std::string_view name;
  std::string_view extra;

  size_t length() const {
    return kCentralHeaderSize + size_t{name_length} + extra_length + comment_length;
  }
};

// The fixed fields of the central header at the front of `rec`, with its name and extra field
// when `rec` holds the whole record (rec.size() >= length()). 32-bit values stay as stored.
std::optional<CentralHeader> parse_central_header(std::string_view rec);

// Calls f(id, data) for each block of an extra field; stops at the first block that overruns
// the field, as readers commonly do.
template <typename F>
void for_each_extra(std::string_view extra, F f) {
  ByteCursor c(extra);
  while (c.remaining() >= 4) {
    const uint16_t id = c.u16();
    const std::string_view data = c.bytes(c.u16());
    if (!c.ok()) return;
    f(id, data);
  }
}

struct Zip64Resolution {
  bool found = false;    // the extra field has a zip64 block (only the first one counts)
  bool complete = true;  // every value deferred to that block was there
  size_t offset_at = 0;  // where the 64-bit offset sits in the extra field, when one was read
  bool offset_read = false;
};

// Replaces each given field that holds its 32-bit maximum with the next value of the zip64
// block, in the order usize, csize, offset, disk (the disk when it holds 0xFFFF and the block
// still has it; a missing disk does not make the resolution incomplete). Null fields are
// neither read nor skipped: a local header has no offset.
Zip64Resolution resolve_zip64(std::string_view extra, uint64_t* usize, uint64_t* csize,
                              uint64_t* offset, uint32_t* disk);

}  // namespace pvx
