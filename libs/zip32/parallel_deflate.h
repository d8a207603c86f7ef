// Packs one entry in blocks that run on every core. Each block is its own zlib stream, primed
// with the 32 KiB before it and ended on a byte boundary, so the pieces join into one ordinary
// deflate stream; the block CRCs join with crc32_combine. Data that does not shrink is judged
// from the first blocks and copied instead of deflated.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include <zlib.h>

#include "block_memory.h"
#include "file.h"
#include "zip_aes.h"

namespace pvx::zip {

class ThreadPool;

inline constexpr size_t kBlockSize = 128 * 1024;  // the largest block
inline constexpr size_t kDictSize = 32 * 1024;
// Entries up to this size are one block on the calling thread: handing them over gains nothing.
inline constexpr uint64_t kInlineLimit = kDictSize;
// The smallest block of a split entry: below it the hand-over costs more than the core gains.
inline constexpr uint64_t kMinBlock = 16 * 1024;

// How an entry of `size` bytes is cut: `leading` blocks of `block` bytes, then the rest in
// blocks of `tail` bytes, the last of them maybe shorter. It rests on the size alone, never on
// the number of workers, so that the archive's bytes do not either.
struct BlockPlan {
  uint64_t size = 0;
  size_t block = 0;
  uint64_t leading = 0;
  size_t tail = 0;
  uint64_t count = 0;
  size_t length(uint64_t index) const;  // of block `index`
};
BlockPlan block_plan_for(uint64_t size);
// The stored-or-deflated decision rests on the blocks that hold this many leading bytes, taken
// in an even number and never more than kDecideBlocks of them.
inline constexpr uint64_t kDecideBytes = 2 * kBlockSize;
inline constexpr uint64_t kDecideBlocks = 4;
// Room for an entry judged whole: its leading blocks and the quarters of its last one.
inline constexpr uint64_t kWholeDecide = kDecideBlocks + 4;

// Owns a raw-deflate stream; reset between uses so one allocation serves a whole run.
class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();
  bool start(int level);  // false when zlib cannot allocate its state
  z_stream& stream() { return s_; }

 private:
  z_stream s_{};
  bool ready_ = false;
  int level_ = -1;
};

enum class BlockKind : uint8_t {
  Deflate,  // compressed, primed with the dictionary
  Raw,      // inside a deflated entry but not compressed: the format's stored blocks
  Copy,     // the bytes themselves, for a stored entry
};

// One block on its way: read by the calling thread, packed by a worker, written in order.
struct Block {
  std::span<unsigned char> in;  // in the run's block memory: the dictionary (dict bytes), then
                                // the data (len bytes)
  std::span<unsigned char> out;
  size_t dict = 0;
  size_t len = 0;
  size_t out_len = 0;
  uint32_t crc = 0;
  BlockKind kind = BlockKind::Deflate;
  bool last = false;
  bool sample = false;   // Copy: deflate a sample to see whether the data has turned compressible
  bool shrinks = false;  // the sample did
  bool failed = false;   // zlib could not allocate or ran out of room
  bool done = false;     // guarded by the packer's mutex
  const unsigned char* data() const { return in.data() + dict; }
};

struct WorkerState {
  Deflater deflate;
  Deflater sample;
  std::vector<unsigned char> sample_out;
};

// Blocks and zlib streams kept between runs on one calling thread: allocating and faulting in
// fresh buffers each call costs more than packing a small file.
struct PackWorkspace {
  BlockMemory memory;  // every block's buffers, in one piece
  std::vector<std::unique_ptr<Block>> blocks;
  std::vector<std::unique_ptr<WorkerState>> workers;
};

enum class PackMode {
  Decide,   // deflate the first blocks; copy the entry instead when they barely shrink
  Deflate,  // deflate every block, but those before `raw_before` go out as Raw blocks
  Copy,     // the bytes as they are, nothing sampled
};

struct PackResult {
  enum class Kind {
    Deflated,
    Stored,
    Shrinks,     // stopped: block `at` of a stored entry turned out compressible
    NotSmaller,  // stopped: the deflated entry cannot come out smaller than stored
    SourceFailed,
    ArchiveFailed,
    OutOfMemory,
    CipherFailed,
    Aborted,  // the progress hook asked to stop
  };
  Kind kind = Kind::Stored;
  uint64_t csize = 0;
  uint32_t crc = 0;
  uint64_t at = 0;
  bool is_text = false;
};

class BlockPacker {
 public:
  BlockPacker(int level, PackWorkspace& work);  // level 1..9
  BlockPacker(const BlockPacker&) = delete;
  BlockPacker& operator=(const BlockPacker&) = delete;
  ~BlockPacker();

  // Blocks go to `pool` from now on (it must outlive the packer's use of it); without one, or
  // with an empty one, the calling thread packs them.
  void use_pool(ThreadPool* pool);
  // Every pack() from now on restarts `cipher` (started, or null for none) and encrypts what it
  // writes, in order, as the blocks arrive: the workers only ever compress.
  void use_cipher(AesStream* cipher) {
    cipher_ = cipher;
    start_cipher_ = nullptr;
  }
  // As use_cipher, for a cipher not yet started: the next pack() calls `start` once its first
  // blocks are with the workers, so that the key derivation runs beside them; a false return
  // fails that pack with CipherFailed.
  void use_cipher(AesStream* cipher, std::function<bool()> start) {
    cipher_ = cipher;
    start_cipher_ = std::move(start);
  }

  // From now on, after every block written but an entry's last, `progress` (null for none) is
  // told the bytes of the entry written so far; a true answer stops the pack with Aborted. It
  // runs on the calling thread and must outlive the packer's use of it.
  void use_progress(const std::function<bool(uint64_t done)>* progress) { progress_ = progress; }

  // Packs `size` bytes from the position of `in` to the position of `out`. A stop (Shrinks,
  // NotSmaller) leaves both files positioned anywhere. csize counts the packed bytes only, not
  // the cipher's salt, verifier or code.
  PackResult pack(BinaryFile& in, uint64_t size, BinaryFile& out, PackMode mode,
                  uint64_t raw_before = 0);

 private:
  PackResult pack_blocks(BinaryFile& in, uint64_t size, BinaryFile& out, PackMode mode,
                         uint64_t raw_before);
  bool read_block(BinaryFile& in, Block& b, uint64_t index);
  Block& slot(uint64_t index) { return *work_.blocks[index % slots_]; }
  void submit(Block& b);
  void run(Block& b, WorkerState& w);
  void finish(Block& b);
  Block& wait(Block& b);
  void drain();
  bool start_cipher();  // runs start_cipher_ when it is still due

  int level_;
  PackWorkspace& work_;
  ThreadPool* pool_ = nullptr;
  AesStream* cipher_ = nullptr;
  std::function<bool()> start_cipher_;
  const std::function<bool(uint64_t)>* progress_ = nullptr;
  unsigned workers_ = 0;
  size_t slots_ = 0;
  BlockPlan plan_;       // of the entry being packed
  bool inline_ = false;  // its blocks run on the calling thread
  std::vector<unsigned char> dict_;
  size_t dict_len_ = 0;
  std::mutex mutex_;
  std::condition_variable done_;
  size_t in_flight_ = 0;
};

// Whether the start of a file reads as text (zlib's rule: no control codes but TAB, LF, CR).
bool looks_like_text(const unsigned char* data, size_t n);

}  // namespace pvx::zip
