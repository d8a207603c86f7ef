#include "entry_writer.h"

#include <algorithm>

#include "codepage.h"
#include "dostime.h"
#include "le.h"

namespace pvx::zip {
namespace {

constexpr uint64_t kZip64Threshold = 0xFFFFFFFFu;

// Bits 1-2 of the flags tell readers which speed/size trade-off deflate was run with.
uint16_t level_flags(int level) {
  if (level >= 8) return 0x2;
  if (level == 2) return 0x4;
  if (level == 1) return 0x6;
  return 0;
}

}  // namespace

EntryWriter::EntryWriter(BinaryFile& archive, int level, Workspace& work)
    : out_(archive), work_(work), level_(level), packer_(std::max(level, 1), work.pack) {}

EntryWriter::Result EntryWriter::write(const Source& src, uint64_t offset, EntryHeader* h,
                                       const EntryProgress& progress) {
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
  h->aes_strength = aes_strength_;
  if (aes_strength_) h->flags |= kFlagEncrypted;
  // A stored AES entry comes out larger than the file by the salt, verifier and code.
  h->zip64_sizes = src.size + (aes_strength_ ? kAesMaxOverhead : 0) >= kZip64Threshold;
  const uint64_t data_at = offset + local_header_size(*h);  // the same for either method
  if (!out_.seek(offset) || !out_.write(local_header(*h))) return Result::ArchiveFailed;
  packer_.use_progress(&progress);
  struct Unhook {  // the packer must not keep a hook of this frame past it
    BlockPacker& packer;
    ~Unhook() { packer.use_progress(nullptr); }
  } unhook{packer_};
  const Result r = aes_strength_ ? pack_encrypted(in, h, data_at) : pack(in, h, data_at);
  if (r != Result::Ok) return r;
  if (h->method == kMethodDeflated) h->flags |= level_flags(level_);
  const uint64_t end = data_at + h->csize;
  if (!out_.seek(offset) || !out_.write(local_header(*h)) || !out_.seek(end)) {
    return Result::ArchiveFailed;
  }
  return Result::Ok;
}

EntryWriter::Result EntryWriter::pack_encrypted(BinaryFile& in, EntryHeader* h, uint64_t data_at) {
  const size_t salt_len = aes_salt_size(aes_strength_);
  unsigned char head[kAesMaxSalt + kAesVerifierSize];
  if (salt_len == 0 || !password_ || !crypto::random_bytes(head, salt_len)) {
    return Result::CipherFailed;
  }
  AesStream cipher;
  // The keys take a thousand rounds of PBKDF2: they are derived while the workers deflate the
  // first blocks, and the salt and verifier go in front of the data once they are known.
  packer_.use_cipher(
      &cipher, [&] { return cipher.start(*password_, aes_strength_, head, head + salt_len); });
  const size_t head_len = salt_len + kAesVerifierSize;
  if (!out_.seek(data_at + head_len)) return Result::ArchiveFailed;
  struct Unhook {  // the packer must not keep a cipher of this frame past it
    BlockPacker& packer;
    ~Unhook() { packer.use_cipher(nullptr); }
  } unhook{packer_};
  const Result r = pack(in, h, data_at + head_len);
  if (r != Result::Ok) return r;
  unsigned char code[kAesCodeSize];
  if (!cipher.finish(code)) return Result::CipherFailed;
  if (!out_.write(code, sizeof code) || !out_.seek(data_at) || !out_.write(head, head_len)) {
    return Result::ArchiveFailed;
  }
  h->csize += head_len + kAesCodeSize;
  return Result::Ok;
}

EntryWriter::Result EntryWriter::pack(BinaryFile& in, EntryHeader* h, uint64_t data_at) {
  using Kind = PackResult::Kind;
  const uint64_t size = h->usize;
  const bool deflate = level_ > 0 && size > 0;
  if (deflate && size > kInlineLimit && !pooled_) {
    if (!work_.pool) pool_ = std::make_unique<ThreadPool>(ThreadPool::default_size());
    packer_.use_pool(work_.pool ? work_.pool.get() : pool_.get());
    pooled_ = true;
  }
  PackResult p = packer_.pack(in, size, out_, deflate ? PackMode::Decide : PackMode::Copy);
  auto again = [&](PackMode mode, uint64_t raw_before) {
    if (!in.seek(0)) {
      p.kind = Kind::SourceFailed;
    } else if (!out_.seek(data_at)) {
      p.kind = Kind::ArchiveFailed;
    } else {
      p = packer_.pack(in, size, out_, mode, raw_before);
    }
  };
  // Stored on the strength of the first blocks, but later data shrinks: deflate it, and
  // send what was judged incompressible as the format's stored blocks.
  if (p.kind == Kind::Shrinks) again(PackMode::Deflate, p.at);
  // Deflate did not pay: store the bytes instead, as every zip tool does.
  if (p.kind == Kind::NotSmaller) again(PackMode::Copy, 0);
  switch (p.kind) {
    case Kind::Deflated:
      h->method = kMethodDeflated;
      break;
    case Kind::Stored:
      h->method = kMethodStored;
      break;
    case Kind::SourceFailed:
      return Result::SourceFailed;
    case Kind::OutOfMemory:
      return Result::OutOfMemory;
    case Kind::CipherFailed:
      return Result::CipherFailed;
    case Kind::Aborted:
      return Result::Aborted;
    default:
      return Result::ArchiveFailed;
  }
  h->crc = p.crc;
  h->csize = p.csize;
  h->is_text = p.is_text;
  return Result::Ok;
}

}  // namespace pvx::zip
