#include "entry_writer.h"

#include <algorithm>

#include "codepage.h"
#include "dostime.h"
#include "le.h"

namespace pvx::zip {
namespace {

constexpr size_t kBufferSize = 256 * 1024;
constexpr uint64_t kZip64Threshold = 0xFFFFFFFFu;

// Bits 1-2 of the flags tell readers which speed/size trade-off deflate was run with.
uint16_t level_flags(int level) {
  if (level >= 8) return 0x2;
  if (level == 2) return 0x4;
  if (level == 1) return 0x6;
  return 0;
}

}  // namespace

Deflater::~Deflater() {
  if (ready_) deflateEnd(&s_);
}

bool Deflater::start(int level) {
  if (ready_ && level == level_) return deflateReset(&s_) == Z_OK;
  if (ready_) deflateEnd(&s_);
  s_ = z_stream{};
  ready_ = deflateInit2(&s_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  level_ = ready_ ? level : -1;
  return ready_;
}

bool looks_like_text(const unsigned char* data, size_t n) {
  bool any_text = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = data[i];
    if (c <= 6 || (c >= 14 && c <= 25) || (c >= 28 && c <= 31)) return false;
    if (c == 9 || c == 10 || c == 13 || c >= 32) any_text = true;
  }
  return any_text;
}

EntryWriter::EntryWriter(BinaryFile& archive, int level, Workspace& work)
    : out_(archive), level_(level), deflater_(work.deflater), in_buf_(work.in), out_buf_(work.out) {
  in_buf_.resize(kBufferSize);
  out_buf_.resize(kBufferSize);
}

EntryWriter::Result EntryWriter::write(const Source& src, uint64_t offset, EntryHeader* h) {
  *h = EntryHeader{};
  h->name = src.stored;
  h->is_dir = src.is_dir;
  h->offset = offset;
  const DosDateTime stamp = to_dos(src.mtime);
  h->dos_time = stamp.time;
  h->dos_date = stamp.date;
  // Raw bytes from a folder listing may not be UTF-8; only real UTF-8 gets the flag.
  if (!is_ascii(h->name) && is_utf8(h->name)) h->flags |= kFlagUtf8;
  if (src.is_dir) {
    return out_.seek(offset) && out_.write(local_header(*h)) ? Result::Ok : Result::ArchiveFailed;
  }

  BinaryFile in;
  if (!in.open(src.path, BinaryFile::Mode::Read)) return Result::SourceFailed;
  // Exactly the size seen when the names were resolved is read, so a file that grows while
  // it is read (the archive itself, say) cannot run on.
  h->usize = src.size;
  h->zip64_sizes = src.size >= kZip64Threshold;
  const bool use_deflate = level_ > 0 && src.size > 0;
  if (use_deflate) {
    h->method = kMethodDeflated;
    h->flags |= level_flags(level_);
  }
  if (!out_.seek(offset) || !out_.write(local_header(*h))) return Result::ArchiveFailed;
  bool shrank = false;
  Result r = copy(in, h, use_deflate, &shrank);
  if (r != Result::Ok) return r;
  if (use_deflate && !shrank) {
    // Deflate did not pay: store the bytes instead, as every zip tool does.
    h->method = kMethodStored;
    h->flags = static_cast<uint16_t>(h->flags & ~level_flags(level_));
    if (!in.seek(0)) return Result::SourceFailed;
    if (!out_.seek(offset) || !out_.write(local_header(*h))) return Result::ArchiveFailed;
    r = copy(in, h, false, &shrank);
    if (r != Result::Ok) return r;
  }
  const uint64_t end = offset + local_header_size(*h) + h->csize;
  if (!out_.seek(offset) || !out_.write(local_header(*h)) || !out_.seek(end)) {
    return Result::ArchiveFailed;
  }
  return Result::Ok;
}

EntryWriter::Result EntryWriter::copy(BinaryFile& in, EntryHeader* h, bool use_deflate,
                                      bool* shrank) {
  z_stream& z = deflater_.stream();
  if (use_deflate && !deflater_.start(level_)) return Result::OutOfMemory;
  uint64_t remaining = h->usize;
  uint64_t csize = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  bool first = true;
  do {
    const auto want = static_cast<size_t>(std::min<uint64_t>(remaining, in_buf_.size()));
    if (want && !in.read_exact(in_buf_.data(), want)) return Result::SourceFailed;
    if (first) h->is_text = looks_like_text(in_buf_.data(), want);
    first = false;
    crc = crc32(crc, in_buf_.data(), static_cast<uInt>(want));
    remaining -= want;
    if (!use_deflate) {
      if (!out_.write(in_buf_.data(), want)) return Result::ArchiveFailed;
      csize += want;
      continue;
    }
    z.next_in = in_buf_.data();
    z.avail_in = static_cast<uInt>(want);
    const int mode = remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = out_buf_.data();
      z.avail_out = static_cast<uInt>(out_buf_.size());
      if (::deflate(&z, mode) == Z_STREAM_ERROR) return Result::ArchiveFailed;
      const size_t have = out_buf_.size() - z.avail_out;
      if (!out_.write(out_buf_.data(), have)) return Result::ArchiveFailed;
      csize += have;
    } while (z.avail_out == 0);
    if (csize >= h->usize) {  // can no longer come out smaller: stop early and store
      *shrank = false;
      return Result::Ok;
    }
  } while (remaining > 0);
  h->crc = static_cast<uint32_t>(crc);
  h->csize = csize;
  *shrank = csize < h->usize;
  return Result::Ok;
}

}  // namespace pvx::zip
