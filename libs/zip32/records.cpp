#include "records.h"

#include <algorithm>
#include <optional>

#include "codepage.h"
#include "le.h"
#include "zip_aes.h"
#include "zip_format.h"
#include "zip_names.h"

namespace pvx::zip {
namespace {

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint16_t kVersionZip64 = 45;
constexpr uint16_t kVersionAes = 51;
constexpr uint32_t kDosArchive = 0x20;
constexpr uint32_t kDosFolder = 0x10;

uint16_t version_needed(const EntryHeader& h) {
  if (h.aes_strength) return kVersionAes;
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

// Decodes one central record at cd[pos]; advances pos. False for a malformed record.
bool parse_record(std::string_view cd, size_t& pos, uint64_t cd_offset, OldEntry* e,
                  std::string* why) {
  const auto h = parse_central_header(cd.substr(pos));
  if (!h) {
    *why = "central directory record damaged";
    return false;
  }
  if (cd.size() - pos < h->length()) {
    *why = "central directory record runs past the directory";
    return false;
  }
  e->record_pos = pos;
  e->record_len = h->length();
  e->name_len = h->name_length;
  e->flags = h->flags;
  e->made_by = h->made_by;
  e->offset = h->offset;
  e->offset_field = 42;
  e->dos_stamp = static_cast<uint32_t>(h->dos_date) << 16 | h->dos_time;
  uint64_t usize = h->usize;
  uint64_t csize = h->csize;
  uint32_t disk = h->disk;

  // Only the zip64 field matters here: it may hold the real offset and disk number.
  const bool offset_deferred = e->offset == kMax32;
  const Zip64Resolution z64 = resolve_zip64(h->extra, &usize, &csize, &e->offset, &disk);
  if (z64.offset_read) {
    e->offset_field = kCentralHeaderSize + e->name_len + z64.offset_at;
    e->offset_is_64 = true;
  }
  if (offset_deferred && z64.found && !z64.offset_read) {
    *why = "zip64 field too short";
    return false;
  }
  if (disk != 0) {
    *why = "archives split over several disks are not supported";
    return false;
  }
  if (offset_deferred && !e->offset_is_64) {
    *why = "zip64 offset missing";
    return false;
  }
  if (e->offset > cd_offset || cd_offset - e->offset < kLocalHeaderSize) {
    *why = "entry offset outside the archive";
    return false;
  }
  pos += h->length();
  return true;
}

// The fields that the local header and the central record share, from flags to sizes.
void put_entry_fields(std::string& out, const EntryHeader& h) {
  put16(out, h.flags);
  put16(out, h.aes_strength ? kMethodAes : h.method);
  put16(out, h.dos_time);
  put16(out, h.dos_date);
  // AES entries go as AE-2, without the CRC: the CRC of the plain bytes would let anyone
  // confirm a guess of a file's content, and the authentication code checks the data instead.
  put32(out, h.aes_strength ? 0 : h.crc);
  put32(out, h.zip64_sizes ? kMax32 : static_cast<uint32_t>(h.csize));
  put32(out, h.zip64_sizes ? kMax32 : static_cast<uint32_t>(h.usize));
}

// The 0x9901 block of an AES entry; empty for others.
std::string aes_block(const EntryHeader& h) {
  return h.aes_strength ? aes_extra_block({kAesVendorAe2, h.aes_strength, h.method}) : "";
}

}  // namespace

uint64_t local_header_size(const EntryHeader& h) {
  return kLocalHeaderSize + h.name.size() + (h.zip64_sizes ? 20 : 0) +
         (h.aes_strength ? 4 + kAesExtraSize : 0);
}

std::string local_header(const EntryHeader& h) {
  std::string out;
  out.reserve(local_header_size(h));
  put32(out, kLocalHeaderSig);
  put16(out, version_needed(h));
  put_entry_fields(out, h);
  const std::string aes = aes_block(h);
  put_name_and_lengths(out, h, static_cast<uint16_t>((h.zip64_sizes ? 20 : 0) + aes.size()));
  out += h.name;
  if (h.zip64_sizes) {
    put16(out, kZip64ExtraId);
    put16(out, 16);
    put64(out, h.usize);
    put64(out, h.csize);
  }
  out += aes;
  return out;
}

std::string central_record(const EntryHeader& h) {
  const bool offset64 = h.offset >= kMax32;
  const uint16_t zip64_len = static_cast<uint16_t>((h.zip64_sizes ? 16 : 0) + (offset64 ? 8 : 0));
  const std::string aes = aes_block(h);
  const auto extra_len = static_cast<uint16_t>((zip64_len ? 4 + zip64_len : 0) + aes.size());
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
  out += aes;
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
  EndRecordSearch search(
      [&](uint64_t offset, void* buf, size_t n) { return read_at(f, offset, buf, n); }, length);
  if (!search.read_ok()) {
    *why = "read error";
    return false;
  }
  // The last record whose comment fits in the file; no other is looked at.
  std::optional<EndRecords> found = search.next();
  while (found && found->comment.size() != found->end.comment_length) found = search.next();
  if (!found) {
    *why = "no end of central directory record";
    return false;
  }
  const EndRecord& end = found->end;
  if (end.disk != 0 || end.cd_disk != 0) {
    *why = "archives split over several disks are not supported";
    return false;
  }
  uint64_t count = end.entries;
  uint64_t cd_size = end.cd_size;
  uint64_t cd_offset = end.cd_offset;
  out->comment = std::string(found->comment);
  uint64_t tail_start = found->position;
  // Only a zip64 end record where the locator puts it: the writer does not shift offsets for
  // bytes in front of the archive.
  if (found->locator) {
    const std::optional<Zip64End>& z64 = found->zip64;
    if (!z64 || !found->zip64_as_stated) {
      *why = "zip64 end record damaged";
      return false;
    }
    if (z64->disk != 0 || z64->cd_disk != 0) {
      *why = "archives split over several disks are not supported";
      return false;
    }
    count = z64->entries;
    cd_size = z64->cd_size;
    cd_offset = z64->cd_offset;
    tail_start = found->zip64_position;
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
