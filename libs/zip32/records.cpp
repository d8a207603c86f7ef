#include "records.h"

#include <algorithm>

#include "codepage.h"
#include "le.h"
#include "zip_names.h"

namespace pvx::zip {
namespace {

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint16_t kVersionZip64 = 45;
constexpr uint32_t kDosArchive = 0x20;
constexpr uint32_t kDosFolder = 0x10;
// The end record plus the longest comment it can announce.
constexpr uint64_t kEndSearchWindow = kEndOfCentralSize + 0xFFFF;

uint16_t version_needed(const EntryHeader& h) {
  if (h.zip64_sizes || h.offset >= kMax32) return kVersionZip64;
  return (h.is_dir || h.method == kMethodDeflated) ? 20 : 10;
}

void put_name_and_lengths(std::string& out, const EntryHeader& h, uint16_t extra_len) {
  put16(out, static_cast<uint16_t>(h.name.size()));
  put16(out, extra_len);
}

bool read_at(BinaryFile& f, uint64_t offset, void* buf, size_t n) {
  return f.seek(offset) && f.read_exact(buf, n);
}

const unsigned char* bytes(std::string_view s, size_t at = 0) {
  return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

// Decodes one central record at cd[pos]; advances pos. False for a malformed record.
bool parse_record(std::string_view cd, size_t& pos, uint64_t cd_offset, OldEntry* e,
                  std::string* why) {
  if (cd.size() - pos < kCentralHeaderSize || get32(bytes(cd, pos)) != kCentralHeaderSig) {
    *why = "central directory record damaged";
    return false;
  }
  const unsigned char* p = bytes(cd, pos);
  const uint32_t csize32 = get32(p + 20);
  const uint32_t usize32 = get32(p + 24);
  const size_t name_len = get16(p + 28);
  const size_t extra_len = get16(p + 30);
  const size_t comment_len = get16(p + 32);
  const size_t total = kCentralHeaderSize + name_len + extra_len + comment_len;
  if (cd.size() - pos < total) {
    *why = "central directory record runs past the directory";
    return false;
  }
  e->record_pos = pos;
  e->record_len = total;
  e->name_len = name_len;
  e->flags = get16(p + 8);
  e->made_by = get16(p + 4);
  e->offset = get32(p + 42);
  e->offset_field = 42;
  e->dos_stamp = static_cast<uint32_t>(get16(p + 14)) << 16 | get16(p + 12);
  uint64_t disk = get16(p + 34);

  // Only the zip64 field matters here: it may hold the real offset and disk number.
  size_t x = kCentralHeaderSize + name_len;
  const size_t extra_end = x + extra_len;
  while (extra_end - x >= 4) {
    const uint16_t id = get16(p + x);
    const size_t len = get16(p + x + 2);
    if (extra_end - x - 4 < len) break;  // a short trailing field: ignored, as readers do
    if (id == kZip64ExtraId) {
      size_t field = x + 4;
      const size_t field_end = field + len;
      for (const uint32_t v : {usize32, csize32}) {
        if (v == kMax32) field += 8;
      }
      if (e->offset == kMax32) {
        if (field + 8 > field_end) {
          *why = "zip64 field too short";
          return false;
        }
        e->offset = get64(p + field);
        e->offset_field = field;
        e->offset_is_64 = true;
        field += 8;
      }
      if (disk == kMax16 && field + 4 <= field_end) disk = get32(p + field);
    }
    x += 4 + len;
  }
  if (disk != 0) {
    *why = "archives split over several disks are not supported";
    return false;
  }
  if (e->offset == kMax32 && !e->offset_is_64) {
    *why = "zip64 offset missing";
    return false;
  }
  if (e->offset > cd_offset || cd_offset - e->offset < kLocalHeaderSize) {
    *why = "entry offset outside the archive";
    return false;
  }
  pos += total;
  return true;
}

// The fields that the local header and the central record share, from flags to sizes.
void put_entry_fields(std::string& out, const EntryHeader& h) {
  put16(out, h.flags);
  put16(out, h.method);
  put16(out, h.dos_time);
  put16(out, h.dos_date);
  put32(out, h.crc);
  put32(out, h.zip64_sizes ? kMax32 : static_cast<uint32_t>(h.csize));
  put32(out, h.zip64_sizes ? kMax32 : static_cast<uint32_t>(h.usize));
}

}  // namespace

uint64_t local_header_size(const EntryHeader& h) {
  return kLocalHeaderSize + h.name.size() + (h.zip64_sizes ? 20 : 0);
}

std::string local_header(const EntryHeader& h) {
  std::string out;
  out.reserve(local_header_size(h));
  put32(out, kLocalHeaderSig);
  put16(out, version_needed(h));
  put_entry_fields(out, h);
  put_name_and_lengths(out, h, h.zip64_sizes ? 20 : 0);
  out += h.name;
  if (h.zip64_sizes) {
    put16(out, kZip64ExtraId);
    put16(out, 16);
    put64(out, h.usize);
    put64(out, h.csize);
  }
  return out;
}

std::string central_record(const EntryHeader& h) {
  const bool offset64 = h.offset >= kMax32;
  const uint16_t zip64_len = static_cast<uint16_t>((h.zip64_sizes ? 16 : 0) + (offset64 ? 8 : 0));
  const uint16_t extra_len = zip64_len ? static_cast<uint16_t>(4 + zip64_len) : 0;
  const uint16_t needed = version_needed(h);
  std::string out;
  out.reserve(kCentralHeaderSize + h.name.size() + extra_len);
  put32(out, kCentralHeaderSig);
  // Made by Windows NTFS (10): DOS attributes as for MS-DOS, but Info-ZIP's unzip reads the
  // UTF-8 flag of such entries, while for MS-DOS ones it converts the name from OEM instead.
  put16(out, static_cast<uint16_t>(10u << 8 | std::max<uint16_t>(needed, 20)));
  put16(out, needed);
  put_entry_fields(out, h);
  put_name_and_lengths(out, h, extra_len);
  put16(out, 0);                  // comment length
  put16(out, 0);                  // disk
  put16(out, h.is_text ? 1 : 0);  // internal attributes: bit 0 marks text
  put32(out, h.is_dir ? kDosFolder : kDosArchive);
  put32(out, offset64 ? kMax32 : static_cast<uint32_t>(h.offset));
  out += h.name;
  if (zip64_len) {
    put16(out, kZip64ExtraId);
    put16(out, zip64_len);
    if (h.zip64_sizes) {
      put64(out, h.usize);
      put64(out, h.csize);
    }
    if (offset64) put64(out, h.offset);
  }
  return out;
}

std::string end_records(uint64_t entries, uint64_t cd_offset, uint64_t cd_size,
                        const std::string& comment) {
  std::string out;
  // 0xFFFF and 0xFFFFFFFF themselves are the markers, so they too need the zip64 record.
  if (entries >= kMax16 || cd_offset >= kMax32 || cd_size >= kMax32) {
    const uint64_t zip64_end = cd_offset + cd_size;
    put32(out, kZip64EndSig);
    put64(out, kZip64EndSize - 12);
    put16(out, kVersionZip64);
    put16(out, kVersionZip64);
    put32(out, 0);
    put32(out, 0);
    put64(out, entries);
    put64(out, entries);
    put64(out, cd_size);
    put64(out, cd_offset);
    put32(out, kZip64LocatorSig);
    put32(out, 0);
    put64(out, zip64_end);
    put32(out, 1);
  }
  const auto count16 = static_cast<uint16_t>(std::min<uint64_t>(entries, kMax16));
  put32(out, kEndOfCentralSig);
  put16(out, 0);
  put16(out, 0);
  put16(out, count16);
  put16(out, count16);
  put32(out, static_cast<uint32_t>(std::min<uint64_t>(cd_size, kMax32)));
  put32(out, static_cast<uint32_t>(std::min<uint64_t>(cd_offset, kMax32)));
  put16(out, static_cast<uint16_t>(comment.size()));
  out += comment;
  return out;
}

bool read_directory(BinaryFile& f, uint64_t length, Directory* out, std::string* why) {
  *out = Directory{};
  if (length < kEndOfCentralSize) {
    *why = "too short for a zip archive";
    return false;
  }
  // Most archives have no comment: try the last 22 bytes before reading the whole window.
  uint64_t end_pos = length;  // position of the end record once found
  std::string window(kEndOfCentralSize, '\0');
  if (!read_at(f, length - kEndOfCentralSize, window.data(), window.size())) {
    *why = "read error";
    return false;
  }
  if (get32(bytes(window)) == kEndOfCentralSig && get16(bytes(window, 20)) == 0) {
    end_pos = length - kEndOfCentralSize;
  } else {
    const uint64_t span = std::min(length, kEndSearchWindow);
    window.assign(span, '\0');
    if (!read_at(f, length - span, window.data(), window.size())) {
      *why = "read error";
      return false;
    }
    for (size_t i = window.size() - kEndOfCentralSize + 1; i-- > 0;) {
      if (get32(bytes(window, i)) == kEndOfCentralSig &&
          i + kEndOfCentralSize + get16(bytes(window, i + 20)) <= window.size()) {
        end_pos = length - span + i;
        window.erase(0, i);
        break;
      }
    }
    if (end_pos == length) {
      *why = "no end of central directory record";
      return false;
    }
  }
  const unsigned char* e = bytes(window);
  if (get16(e + 4) != 0 || get16(e + 6) != 0) {
    *why = "archives split over several disks are not supported";
    return false;
  }
  uint64_t count = get16(e + 10);
  uint64_t cd_size = get32(e + 12);
  uint64_t cd_offset = get32(e + 16);
  out->comment.assign(window, kEndOfCentralSize, get16(e + 20));
  uint64_t tail_start = end_pos;

  unsigned char loc[kZip64LocatorSize];
  if (end_pos >= kZip64LocatorSize && read_at(f, end_pos - kZip64LocatorSize, loc, sizeof loc) &&
      get32(loc) == kZip64LocatorSig) {
    const uint64_t z_pos = get64(loc + 8);
    unsigned char z[kZip64EndSize];
    if (z_pos > end_pos - kZip64LocatorSize || end_pos - kZip64LocatorSize - z_pos < sizeof z ||
        !read_at(f, z_pos, z, sizeof z) || get32(z) != kZip64EndSig) {
      *why = "zip64 end record damaged";
      return false;
    }
    if (get32(z + 16) != 0 || get32(z + 20) != 0) {
      *why = "archives split over several disks are not supported";
      return false;
    }
    count = get64(z + 32);
    cd_size = get64(z + 40);
    cd_offset = get64(z + 48);
    tail_start = z_pos;
  }
  if (cd_offset > tail_start || tail_start - cd_offset < cd_size) {
    *why = "central directory lies outside the archive";
    return false;
  }
  out->tail.assign(length - cd_offset, '\0');
  if (!read_at(f, cd_offset, out->tail.data(), out->tail.size())) {
    *why = "read error";
    return false;
  }
  out->cd_size = cd_size;
  const std::string_view cd = out->cd();
  size_t pos = 0;
  while (pos < cd.size()) {
    OldEntry entry;
    if (!parse_record(cd, pos, cd_offset, &entry, why)) return false;
    out->entries.push_back(entry);
  }
  // Some writers let a 16-bit count wrap instead of writing zip64 records; accept that.
  if (out->entries.size() != count && (out->entries.size() & 0xFFFF) != count) {
    *why = "entry count does not match the central directory";
    return false;
  }
  out->cd_offset = cd_offset;
  return true;
}

std::string Directory::name_utf8(const OldEntry& e) const {
  return decode_zip_name(name_raw(e), e.flags, e.made_by);
}

}  // namespace pvx::zip
