#include "parallel_deflate.h"

#include <algorithm>
#include <cstring>

#include "crc.h"
#include "thread_pool.h"

namespace pvx::zip {
namespace {

// Room for a deflated block: zlib's worst case grows a block by well under 1/16th.
constexpr size_t kOutSize = kBlockSize + kBlockSize / 16 + 256;
constexpr size_t kStoredMax = 65535;  // longest stored block of the deflate format
// A stored entry samples two slices of each later block at zlib's fastest level.
constexpr size_t kSliceSize = 8 * 1024;
constexpr size_t kSampleOutSize = 2 * kSliceSize + 1024;

// Deflate barely moves data that is already compressed (images, archives): under 1% saved on
// the first blocks means the entry is stored; a sample has to lose 10% to undo that. A PDF or
// a JAR often saves 1-3%, which other zip tools keep.
bool barely_shrinks(uint64_t in, uint64_t out) {
  return out * 100 >= in * 99;
}
bool sample_shrinks(uint64_t in, uint64_t out) {
  return out * 10 < in * 9;
}

// The data as stored blocks of the deflate format, each at most 65,535 bytes behind a
// five-byte header; the last of the entry is marked final.
size_t put_raw(Block& b) {
  unsigned char* out = b.out.data();
  const unsigned char* data = b.data();
  size_t pos = 0, at = 0;
  do {
    const size_t n = std::min(b.len - at, kStoredMax);
    out[pos++] = b.last && at + n == b.len ? 1 : 0;
    out[pos++] = static_cast<unsigned char>(n);
    out[pos++] = static_cast<unsigned char>(n >> 8);
    out[pos++] = static_cast<unsigned char>(~n);
    out[pos++] = static_cast<unsigned char>(~n >> 8);
    std::memcpy(out + pos, data + at, n);
    pos += n;
    at += n;
  } while (at < b.len);
  return pos;
}

// Deflates a slice from the start and one from the middle of the block, as one stream.
bool sample(const Block& b, WorkerState& w) {
  const size_t slice = std::min(kSliceSize, b.len / 2);
  if (slice < 1024 || !w.sample.start(1)) return false;  // too little to tell: keep storing
  z_stream& z = w.sample.stream();
  z.next_out = w.sample_out.data();
  z.avail_out = static_cast<uInt>(w.sample_out.size());
  const unsigned char* starts[2] = {b.data(), b.data() + b.len / 2};
  for (int i = 0; i < 2; ++i) {
    z.next_in = const_cast<unsigned char*>(starts[i]);
    z.avail_in = static_cast<uInt>(slice);
    if (::deflate(&z, i == 1 ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR) return false;
  }
  return sample_shrinks(2 * slice, z.total_out);
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

BlockPlan block_plan_for(uint64_t size) {
  BlockPlan p;
  p.size = size;
  if (size <= kInlineLimit) {
    p.block = p.tail = static_cast<size_t>(std::max<uint64_t>(size, 1));
    p.count = 1;
    return p;
  }
  // Even blocks, a multiple of four of them, so that on two or four cores the last ones finish
  // together...
  const uint64_t per_round = 4 * kBlockSize;
  uint64_t pieces = 4 * ((size + per_round - 1) / per_round);
  if (size < 4 * kMinBlock) pieces = 2;
  constexpr uint64_t kRound = 64;
  const uint64_t even = (size + pieces - 1) / pieces;
  p.block =
      static_cast<size_t>(std::min<uint64_t>(kBlockSize, (even + kRound - 1) / kRound * kRound));
  p.leading = (size + p.block - 1) / p.block - 1;
  const uint64_t rest = size - p.leading * p.block;
  // ...but blocks of the same size still take different times, and the core that ends first
  // idles through the rest of the other's: the last block goes in quarters.
  const uint64_t quarter = pieces == 2 ? rest : (rest + 3) / 4;
  p.tail = static_cast<size_t>((quarter + kRound - 1) / kRound * kRound);
  p.count = p.leading + (rest + p.tail - 1) / p.tail;
  return p;
}

size_t BlockPlan::length(uint64_t index) const {
  if (index < leading) return block;
  const uint64_t at = leading * block + (index - leading) * tail;
  return static_cast<size_t>(std::min<uint64_t>(tail, size - at));
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

BlockPacker::BlockPacker(int level, PackWorkspace& work)
    : level_(level), work_(work), dict_(kDictSize) {
  use_pool(nullptr);
}

BlockPacker::~BlockPacker() {
  drain();
}

void BlockPacker::use_pool(ThreadPool* pool) {
  pool_ = pool;
  workers_ = pool ? pool->size() : 0;
  // Enough blocks in flight to keep every worker busy while the caller reads and writes,
  // and no more: memory stays the same whatever the size of the file.
  slots_ = std::max<size_t>(kWholeDecide, 2 * (workers_ + 1));
  if (work_.blocks.size() < slots_) {
    // No block is in flight between packs, so all of them may move to a larger piece.
    constexpr size_t kIn = kDictSize + kBlockSize;
    work_.blocks.clear();
    work_.memory = block_memory(slots_ * (kIn + kOutSize));
    unsigned char* at = work_.memory.get();
    for (size_t i = 0; i < slots_; ++i, at += kIn + kOutSize) {
      auto b = std::make_unique<Block>();
      b->in = {at, kIn};
      b->out = {at + kIn, kOutSize};
      work_.blocks.push_back(std::move(b));
    }
  }
  // One state a worker, and one more for the calling thread.
  while (work_.workers.size() < workers_ + 1) {
    auto w = std::make_unique<WorkerState>();
    w->sample_out.resize(kSampleOutSize);
    work_.workers.push_back(std::move(w));
  }
}

PackResult BlockPacker::pack(BinaryFile& in, uint64_t size, BinaryFile& out, PackMode mode,
                             uint64_t raw_before) {
  PackResult r;
  if (cipher_ && !start_cipher_ && !cipher_->restart()) {
    r.kind = PackResult::Kind::CipherFailed;
    return r;
  }
  try {
    r = pack_blocks(in, size, out, mode, raw_before);
  } catch (...) {
    drain();  // the workers still hold blocks of this stack's caller
    throw;
  }
  drain();
  return r;
}

bool BlockPacker::start_cipher() {
  if (!start_cipher_) return true;
  const std::function<bool()> start = std::move(start_cipher_);
  start_cipher_ = nullptr;
  return start();
}

PackResult BlockPacker::pack_blocks(BinaryFile& in, uint64_t size, BinaryFile& out, PackMode mode,
                                    uint64_t raw_before) {
  using Kind = PackResult::Kind;
  PackResult r;
  plan_ = block_plan_for(size);
  const uint64_t count = plan_.count;
  // One block is packed where it is read: a hand-over would only add a worker's wake-up.
  inline_ = count <= 1;
  bool copying = mode == PackMode::Copy || size == 0;  // an empty stream is still two bytes
  r.kind = copying ? Kind::Stored : Kind::Deflated;
  // An even number of blocks: with an odd one a core would idle through the last of them.
  const uint64_t covering = (kDecideBytes + plan_.block - 1) / plan_.block;
  const uint64_t judged = std::min(kDecideBlocks, (covering + 1) / 2 * 2);
  // A short entry is judged whole: its deflated form is made by then anyway.
  const uint64_t decided = plan_.leading < kDecideBlocks ? count : std::min(judged, count);
  uint64_t decide_until = mode == PackMode::Decide ? decided : 0;
  uint64_t next_read = 0, next_write = 0, done = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  dict_len_ = 0;
  while (next_write < count) {
    // Until the decision, only the blocks it rests on are read.
    const uint64_t read_limit = decide_until ? decide_until : count;
    for (; next_read < read_limit && next_read - next_write < slots_; ++next_read) {
      Block& b = slot(next_read);
      b.kind = copying                  ? BlockKind::Copy
               : next_read < raw_before ? BlockKind::Raw
                                        : BlockKind::Deflate;
      b.sample = mode != PackMode::Copy;
      if (!read_block(in, b, next_read)) {
        r.kind = Kind::SourceFailed;
        return r;
      }
      if (next_read == 0) r.is_text = looks_like_text(b.data(), b.len);
      submit(b);
    }
    if (!start_cipher()) {
      r.kind = Kind::CipherFailed;
      return r;
    }
    if (decide_until) {
      uint64_t in_bytes = 0, out_bytes = 0;
      for (uint64_t i = 0; i < decide_until; ++i) {
        const Block& b = wait(slot(i));
        in_bytes += b.len;
        out_bytes += b.out_len;
      }
      // When those blocks are the whole entry, its deflated form is already made: any gain counts.
      copying = decide_until == count ? out_bytes >= in_bytes : barely_shrinks(in_bytes, out_bytes);
      if (copying) r.kind = Kind::Stored;
      decide_until = 0;
    }
    Block& b = wait(slot(next_write));
    if (b.failed) {
      r.kind = Kind::OutOfMemory;
      return r;
    }
    if (copying && b.shrinks) {
      r.kind = Kind::Shrinks;
      r.at = next_write;
      return r;
    }
    const unsigned char* bytes = copying ? b.data() : b.out.data();
    const size_t n = copying ? b.len : b.out_len;
    // b.out has room for a whole block, so a copied one is encrypted into it too.
    if (cipher_ && !cipher_->encrypt(bytes, b.out.data(), n)) {
      r.kind = Kind::CipherFailed;
      return r;
    }
    if (cipher_) bytes = b.out.data();
    if (!out.write(bytes, n)) {
      r.kind = Kind::ArchiveFailed;
      return r;
    }
    r.csize += n;
    crc = crc32_combine(crc, b.crc, static_cast<z_off_t>(b.len));
    ++next_write;
    done += b.len;
    if (!copying && r.csize >= size) {  // can no longer come out smaller
      r.kind = Kind::NotSmaller;
      return r;
    }
    if (progress_ && *progress_ && next_write < count && (*progress_)(done)) {
      r.kind = Kind::Aborted;
      return r;
    }
  }
  if (!start_cipher()) {  // an empty entry has no blocks to run beside
    r.kind = Kind::CipherFailed;
    return r;
  }
  r.crc = static_cast<uint32_t>(crc);
  return r;
}

bool BlockPacker::read_block(BinaryFile& in, Block& b, uint64_t index) {
  b.dict = dict_len_;
  std::memcpy(b.in.data(), dict_.data(), dict_len_);
  b.len = plan_.length(index);
  b.last = index + 1 == plan_.count;
  if (!in.read_exact(b.in.data() + b.dict, b.len)) return false;
  // The next block's dictionary: the last 32 KiB read so far.
  const size_t total = b.dict + b.len;
  dict_len_ = std::min(kDictSize, total);
  std::memcpy(dict_.data(), b.in.data() + total - dict_len_, dict_len_);
  return true;
}

void BlockPacker::submit(Block& b) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    b.done = false;
    ++in_flight_;
  }
  if (workers_ == 0 || inline_) {
    run(b, *work_.workers[workers_]);  // the calling thread's own state
    finish(b);
    return;
  }
  try {
    pool_->submit([this, &b](unsigned worker) {
      run(b, *work_.workers[worker]);
      finish(b);
    });
  } catch (...) {
    finish(b);  // never queued: nothing to wait for
    throw;
  }
}

void BlockPacker::run(Block& b, WorkerState& w) {
  b.crc = crc32_update(0, b.data(), b.len);
  b.failed = false;
  b.shrinks = false;
  b.out_len = 0;
  switch (b.kind) {
    case BlockKind::Copy:
      b.shrinks = b.sample && sample(b, w);
      return;
    case BlockKind::Raw:
      b.out_len = put_raw(b);
      return;
    case BlockKind::Deflate:
      break;
  }
  if (!w.deflate.start(level_)) {
    b.failed = true;
    return;
  }
  z_stream& z = w.deflate.stream();
  if (b.dict && deflateSetDictionary(&z, b.in.data(), static_cast<uInt>(b.dict)) != Z_OK) {
    b.failed = true;
    return;
  }
  z.next_in = const_cast<unsigned char*>(b.data());
  z.avail_in = static_cast<uInt>(b.len);
  z.next_out = b.out.data();
  z.avail_out = static_cast<uInt>(b.out.size());
  // A sync flush ends the block on a byte boundary without marking it final: the next block's
  // bits follow straight on. Only the entry's last block finishes the stream.
  const int rc = ::deflate(&z, b.last ? Z_FINISH : Z_SYNC_FLUSH);
  b.failed = b.last ? rc != Z_STREAM_END : (rc != Z_OK || z.avail_in != 0 || z.avail_out == 0);
  b.out_len = b.out.size() - z.avail_out;
}

void BlockPacker::finish(Block& b) {
  // Notified under the lock: once the caller sees the block done it may return and destroy
  // the packer, so nothing here may touch it after the unlock.
  std::lock_guard<std::mutex> lock(mutex_);
  b.done = true;
  --in_flight_;
  done_.notify_all();
}

Block& BlockPacker::wait(Block& b) {
  // The calling thread packs queued blocks itself while it waits: it has a core of its own,
  // and one worker fewer is one thread fewer to start at every call.
  while (workers_ > 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (b.done) return b;
    }
    if (!pool_->run_one(workers_)) break;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return b.done; });
  return b;
}

void BlockPacker::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return in_flight_ == 0; });
}

}  // namespace pvx::zip
