#include "zip_format.h"

#include <algorithm>

namespace pvx {
namespace {

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint16_t kMax16 = 0xFFFF;

}  // namespace

std::optional<EndRecord> parse_end_record(std::string_view rec) {
  ByteCursor c(rec);
  if (c.u32() != kEndOfCentralSig) return std::nullopt;
  EndRecord e;
  e.disk = c.u16();
  e.cd_disk = c.u16();
  c.skip(2);  // entries on this disk
  e.entries = c.u16();
  e.cd_size = c.u32();
  e.cd_offset = c.u32();
  e.comment_length = c.u16();
  if (!c.ok()) return std::nullopt;
  return e;
}

std::optional<uint64_t> parse_zip64_locator(std::string_view rec) {
  ByteCursor c(rec);
  if (c.u32() != kZip64LocatorSig) return std::nullopt;
  c.skip(4);  // disk of the zip64 end record
  const uint64_t offset = c.u64();
  c.skip(4);  // number of disks
  if (!c.ok()) return std::nullopt;
  return offset;
}

std::optional<Zip64End> parse_zip64_end(std::string_view rec) {
  ByteCursor c(rec);
  if (c.u32() != kZip64EndSig) return std::nullopt;
  c.skip(12);  // record size, version made by, version needed
  Zip64End z;
  z.disk = c.u32();
  z.cd_disk = c.u32();
  c.skip(8);  // entries on this disk
  z.entries = c.u64();
  z.cd_size = c.u64();
  z.cd_offset = c.u64();
  if (!c.ok()) return std::nullopt;
  return z;
}

EndRecordSearch::EndRecordSearch(ReadAt read, uint64_t size) : read_(std::move(read)), size_(size) {
  // Most archives end in a bare end record: the last page holds it, and the window grows to the
  // longest comment a record can announce only when the page holds no candidate.
  done_ = !load(std::min<uint64_t>(size, kFirstWindow)) || size < kEndOfCentralSize;
  if (!done_) next_ = size - kEndOfCentralSize;
}

bool EndRecordSearch::load(uint64_t span) {
  window_start_ = size_ - span;
  window_.resize(static_cast<size_t>(span));
  read_ok_ = read_(window_start_, window_.data(), window_.size());
  return read_ok_;
}

std::optional<EndRecords> EndRecordSearch::next() {
  size_t i = std::string_view::npos;
  while (!done_ && i == std::string_view::npos) {
    if (next_ >= window_start_) {
      i = window_.rfind(std::string_view("PK\x05\x06", 4),
                        static_cast<size_t>(next_ - window_start_));
    }
    if (i != std::string_view::npos) break;
    // The end record plus the longest comment it can announce.
    const uint64_t full = std::min<uint64_t>(size_, kEndOfCentralSize + 0xFFFF);
    if (window_.size() >= full || !load(full)) done_ = true;
  }
  if (i == std::string_view::npos) return std::nullopt;
  if (window_start_ + i == 0) done_ = true;
  next_ = window_start_ + i - 1;

  const std::string_view rec = std::string_view(window_).substr(i);
  EndRecords r;
  r.position = window_start_ + i;
  r.end = *parse_end_record(rec);  // the signature and a whole record are there
  r.comment = rec.substr(kEndOfCentralSize, r.end.comment_length);

  std::string loc(kZip64LocatorSize, '\0');
  if (r.position < kZip64LocatorSize ||
      !read_(r.position - kZip64LocatorSize, loc.data(), loc.size())) {
    return r;
  }
  const std::optional<uint64_t> stated = parse_zip64_locator(loc);
  if (!stated) return r;
  r.locator = true;
  const uint64_t before = r.position - kZip64LocatorSize;
  std::string z(kZip64EndSize, '\0');
  const auto zip64_at = [&](uint64_t pos) {
    return read_(pos, z.data(), z.size()) ? parse_zip64_end(z) : std::nullopt;
  };
  if (*stated <= before && before - *stated >= kZip64EndSize) {
    r.zip64 = zip64_at(*stated);
    r.zip64_position = *stated;
    r.zip64_as_stated = r.zip64.has_value();
  }
  if (!r.zip64 && before >= kZip64EndSize) {
    r.zip64 = zip64_at(before - kZip64EndSize);
    r.zip64_position = before - kZip64EndSize;
  }
  return r;
}

std::optional<CentralHeader> parse_central_header(std::string_view rec) {
  ByteCursor c(rec);
  if (c.u32() != kCentralHeaderSig) return std::nullopt;
  CentralHeader h;
  h.made_by = c.u16();
  c.skip(2);  // version needed
  h.flags = c.u16();
  h.method = c.u16();
  h.dos_time = c.u16();
  h.dos_date = c.u16();
  h.crc = c.u32();
  h.csize = c.u32();
  h.usize = c.u32();
  h.name_length = c.u16();
  h.extra_length = c.u16();
  h.comment_length = c.u16();
  h.disk = c.u16();
  h.internal_attr = c.u16();
  h.external_attr = c.u32();
  h.offset = c.u32();
  if (!c.ok()) return std::nullopt;
  if (rec.size() >= h.length()) {
    h.name = c.bytes(h.name_length);
    h.extra = c.bytes(h.extra_length);
  }
  return h;
}

Zip64Resolution resolve_zip64(std::string_view extra, uint64_t* usize, uint64_t* csize,
                              uint64_t* offset, uint32_t* disk) {
  Zip64Resolution r;
  for_each_extra(extra, [&](uint16_t id, std::string_view data) {
    if (id != kZip64ExtraId || r.found) return;
    r.found = true;
    ByteCursor c(data);
    for (uint64_t* field : {usize, csize, offset}) {
      if (!field || *field != kMax32) continue;
      if (c.remaining() < 8) {
        r.complete = false;
        return;
      }
      if (field == offset) {
        // The writer patches the offset in place, so it needs where the value sits.
        r.offset_at = static_cast<size_t>(data.data() - extra.data()) + c.pos();
        r.offset_read = true;
      }
      *field = c.u64();
    }
    if (disk && *disk == kMax16 && c.remaining() >= 4) *disk = c.u32();
  });
  if (!r.found) {
    for (const uint64_t* field : {usize, csize, offset}) {
      if (field && *field == kMax32) r.complete = false;
    }
  }
  return r;
}

}  // namespace pvx
