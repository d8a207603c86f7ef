#include "zip_directory.h"

#include <zlib.h>

#include <algorithm>
#include <optional>

#include "codepage.h"
#include "dostime.h"
#include "le.h"
#include "zip_format.h"
#include "zip_names.h"
#include "ziperrors.h"

namespace pvx::unzip {
namespace {

constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint16_t kExtTimeExtraId = 0x5455;

using Bytes = std::string;

bool read_bytes(Source& src, uint64_t offset, size_t n, Bytes* out) {
  out->resize(n);
  return src.read_at(offset, out->data(), n);
}

const unsigned char* uc(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// False when the extra field lacks a value that one of the given fields defers to it.
bool apply_zip64(std::string_view extra, uint64_t* usize, uint64_t* csize, uint64_t* offset) {
  return resolve_zip64(extra, usize, csize, offset, nullptr).complete;
}

struct FoundEnd {
  uint64_t entries = 0;
  uint64_t cd_size = 0;
  uint64_t cd_offset = 0;
  uint64_t cd_limit = 0;  // the directory ends before this (zip64 end record or end record)
  bool zip64 = false;
  bool multi_disk = false;
};

// What this reader takes from an end record: the zip64 end record wherever it was found, and a
// disk number of 0xFFFF as "see the zip64 record".
FoundEnd found_end(const EndRecords& r) {
  FoundEnd e;
  e.cd_limit = r.position;
  e.entries = r.end.entries;
  e.cd_size = r.end.cd_size;
  e.cd_offset = r.end.cd_offset;
  e.multi_disk =
      (r.end.disk != 0 && r.end.disk != kMax16) || (r.end.cd_disk != 0 && r.end.cd_disk != kMax16);
  if (const auto& z = r.zip64) {
    e.zip64 = true;
    e.cd_limit = r.zip64_position;
    e.multi_disk = z->disk != 0 || z->cd_disk != 0;
    e.entries = z->entries;
    e.cd_size = z->cd_size;
    e.cd_offset = z->cd_offset;
  }
  return e;
}

bool central_sig_at(Source& src, uint64_t pos) {
  unsigned char sig[4];
  return src.read_at(pos, sig, 4) && get32(sig) == kCentralHeaderSig;
}

// Finds where the directory that this end record describes really begins: at its stated offset,
// or shifted by bytes in front of the archive.
std::optional<uint64_t> locate_directory(Source& src, const FoundEnd& e, uint64_t* stub) {
  *stub = 0;
  if (e.cd_size > e.cd_limit) return std::nullopt;
  if (e.entries == 0 && e.cd_size == 0) return e.cd_limit;
  if (e.cd_offset <= e.cd_limit - e.cd_size && central_sig_at(src, e.cd_offset)) {
    return e.cd_offset;
  }
  const uint64_t actual = e.cd_limit - e.cd_size;
  if (actual > e.cd_offset && central_sig_at(src, actual)) {
    *stub = actual - e.cd_offset;
    return actual;
  }
  return std::nullopt;
}

// Parses one central record at pos; returns its length, or 0 when none fits before limit.
uint64_t parse_central(Source& src, uint64_t pos, uint64_t limit, uint64_t stub, Entry* e) {
  Bytes rec;
  if (limit < pos || limit - pos < kCentralHeaderSize ||
      !read_bytes(src, pos, kCentralHeaderSize, &rec)) {
    return 0;
  }
  auto h = parse_central_header(rec);
  if (!h || limit - pos < h->length() || !read_bytes(src, pos, h->length(), &rec)) return 0;
  h = parse_central_header(rec);  // again, now that the name and the extra field are there
  e->version_made_by = h->made_by;
  e->flags = h->flags;
  e->method = h->method;
  e->dos_time = h->dos_time;
  e->dos_date = h->dos_date;
  e->crc = h->crc;
  e->csize = h->csize;
  e->usize = h->usize;
  e->internal_attr = h->internal_attr;
  e->external_attr = h->external_attr;
  e->local_offset = h->offset;

  const std::string_view stored = h->name;
  e->raw_name = std::string(stored.substr(0, stored.find('\0')));
  e->name = decode_zip_name(e->raw_name, e->flags, e->version_made_by);
  if (!apply_zip64(h->extra, &e->usize, &e->csize, &e->local_offset)) {
    e->damage = "its zip64 sizes are missing";
  }
  for_each_extra(h->extra, [&](uint16_t id, std::string_view d) {
    const size_t len = d.size();
    if (id == kExtTimeExtraId && len >= 5 && (d[0] & 1)) {
      e->mtime = static_cast<std::time_t>(static_cast<int32_t>(get32(uc(d) + 1)));
    } else if (id == kUnicodePathExtraId && len >= 5 && d[0] == 1) {
      // Only while it still describes the stored name (APPNOTE 4.6.9).
      const std::string_view utf8 = d.substr(5);
      const auto crc =
          static_cast<uint32_t>(crc32(0, uc(stored), static_cast<uInt>(stored.size())));
      if (crc == get32(uc(d) + 1) && is_utf8(utf8) && utf8.find('\0') == std::string_view::npos) {
        e->name = std::string(utf8);
      }
    } else if (id == kAesExtraId && !e->aes) {
      e->aes = true;
      e->aes_usable = parse_aes_extra(d, &e->aes_extra);
    }
  });
  if (e->mtime == -1) e->mtime = from_dos(DosDateTime{e->dos_date, e->dos_time});
  if (e->damage.empty() && e->local_offset > UINT64_MAX - stub) e->damage = "its offset is invalid";
  e->local_offset += stub;
  return h->length();
}

}  // namespace

bool Entry::is_dir() const {
  return !name.empty() && (name.back() == '/' || name.back() == '\\');
}

bool Entry::encrypted() const {
  return (flags & kFlagEncrypted) != 0;
}

ReadResult read_directory(Source& src, Directory* dir) {
  ReadResult result;
  *dir = Directory{};
  const uint64_t size = src.size();
  if (size < kEndOfCentralSize) {
    result.code = PK_NOZIP;
    result.messages.push_back("not a zip file: too short to hold an end record");
    return result;
  }
  EndRecordSearch search(
      [&](uint64_t offset, void* out, size_t n) { return src.read_at(offset, out, n); }, size);
  if (!search.read_ok()) {
    result.code = PK_NOZIP;
    result.messages.push_back("cannot read the archive");
    return result;
  }

  // The end record nearest the end whose directory can be found; an archive stored in the
  // comment of another is read the way common tools read it.
  std::optional<FoundEnd> end;
  std::string_view comment;
  uint64_t cd_begin = 0;
  bool seen_signature = false;
  bool multi_disk = false;
  while (!end) {
    const std::optional<EndRecords> records = search.next();
    if (!records) break;
    seen_signature = true;
    const FoundEnd candidate = found_end(*records);
    if (candidate.multi_disk) {
      multi_disk = true;
      continue;
    }
    if (auto begin = locate_directory(src, candidate, &dir->stub_bytes)) {
      cd_begin = *begin;
      end = candidate;
      comment = records->comment;
    }
  }
  if (!end) {
    result.code = seen_signature ? PK_BADERR : PK_NOZIP;
    result.messages.push_back(multi_disk       ? "the archive spans several disks; only one is here"
                              : seen_signature ? "the central directory cannot be found"
                                               : "not a zip file: no end of central directory");
    return result;
  }
  if (dir->stub_bytes != 0) {
    result.code = PK_WARN;
    result.messages.push_back(std::to_string(dir->stub_bytes) +
                              " extra bytes before the archive (offsets adjusted)");
  }
  dir->comment = std::string(comment);
  dir->cd_begin = cd_begin;

  // Records are read as long as they follow one another: a count or a directory size that
  // disagrees with them is reported, not trusted.
  const uint64_t stated_end = cd_begin + end->cd_size;
  // Before zip64, writers let the 16-bit count wrap past 65,535 entries.
  const auto counts = [&](uint64_t n) {
    return end->zip64 || n < 65536 ? n == end->entries : (n & 0xFFFF) == end->entries;
  };
  uint64_t pos = cd_begin;
  uint64_t count = 0;
  dir->entries.reserve(static_cast<size_t>(std::min<uint64_t>(end->entries, 65536)));
  for (;;) {
    const bool counted_all = end->zip64 || count < 65536 ? count >= end->entries : true;
    if (counted_all && pos >= stated_end) break;
    Entry e;
    const uint64_t n = parse_central(src, pos, end->cd_limit, dir->stub_bytes, &e);
    if (n == 0) {
      if (!counted_all) {
        result.code = PK_BADERR;
        result.messages.push_back("central directory record " + std::to_string(count + 1) +
                                  " is missing or damaged");
      }
      break;
    }
    dir->entries.push_back(std::move(e));
    pos += n;
    ++count;
  }
  dir->cd_end = pos;
  const bool count_agrees = counts(count);
  if (result.code != PK_BADERR && !count_agrees) {
    result.code = PK_WARN;
    result.messages.push_back("the end record counts " + std::to_string(end->entries) +
                              " entries, the directory holds " + std::to_string(count));
  } else if (result.code != PK_BADERR && pos != stated_end) {
    result.code = PK_WARN;
    result.messages.push_back("the end record gives the directory " + std::to_string(end->cd_size) +
                              " bytes, its records take " + std::to_string(pos - cd_begin));
  }
  return result;
}

int locate_data(Source& src, const Entry& entry, EntryData* out, std::string* why) {
  *out = EntryData{};
  out->header_offset = entry.local_offset;
  Bytes h;
  if (!read_bytes(src, entry.local_offset, kLocalHeaderSize, &h)) {
    *why = "its local header lies past the end of the archive";
    return PK_EOF;
  }
  if (get32(uc(h)) != kLocalHeaderSig) {
    *why = "its local header is missing";
    return PK_ERR;
  }
  const size_t name_len = get16(uc(h) + 26);
  const size_t extra_len = get16(uc(h) + 28);
  Bytes var;
  if (!read_bytes(src, entry.local_offset + kLocalHeaderSize, name_len + extra_len, &var)) {
    *why = "its local header is cut short";
    return PK_EOF;
  }
  if (get16(uc(h) + 8) != entry.method) {
    *why = "its local and central headers give different methods";
    return PK_ERR;
  }
  out->flags = get16(uc(h) + 6);
  const std::string_view local_name = std::string_view(var).substr(0, name_len);
  // Some writers leave the local name out; only a different one is suspicious.
  out->name_differs =
      name_len != 0 && local_name.substr(0, local_name.find('\0')) != entry.raw_name;
  out->data_offset = entry.local_offset + kLocalHeaderSize + name_len + extra_len;

  // Without a data descriptor the local header was written with the data, so its values are
  // the ones the data must match; with one, it holds zeros and the directory has the values.
  out->crc = entry.crc;
  out->csize = entry.csize;
  out->usize = entry.usize;
  if (!(out->flags & kFlagDataDescriptor)) {
    uint64_t usize = get32(uc(h) + 22);
    uint64_t csize = get32(uc(h) + 18);
    if (apply_zip64(std::string_view(var).substr(name_len), &usize, &csize, nullptr)) {
      out->crc = get32(uc(h) + 14);
      out->csize = csize;
      out->usize = usize;
      out->values_differ =
          out->crc != entry.crc || out->csize != entry.csize || out->usize != entry.usize;
    }
  }
  if (out->data_offset > src.size() || out->csize > src.size() - out->data_offset) {
    *why = "its data passes the end of the archive";
    return PK_EOF;
  }
  return PK_OK;
}

}  // namespace pvx::unzip
