// Streams one file into an archive as a stored or deflated entry, sizes and CRC in its
// local header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "file.h"
#include "parallel_deflate.h"
#include "records.h"
#include "sources.h"
#include "thread_pool.h"

namespace pvx::zip {

// What one calling thread keeps from run to run.
struct Workspace {
  PackWorkspace pack;
  // The workers every run on this thread uses while it is open (ZpOpenPool); after `pack`,
  // whose worker states they use, so that they are joined first.
  std::unique_ptr<ThreadPool> pool;
};

// Told the bytes of the file written so far; true stops the entry (Result::Aborted).
using EntryProgress = std::function<bool(uint64_t done)>;

// Lives for one run: without the thread's open pool, the one it starts for the first large
// entry ends with it.
class EntryWriter {
 public:
  enum class Result { Ok, SourceFailed, ArchiveFailed, OutOfMemory, CipherFailed, Aborted };

  // level 0 stores everything; 1..9 are zlib's levels.
  EntryWriter(BinaryFile& archive, int level, Workspace& work);

  // Files from now on become AES entries under `password` with a key of the strength's size
  // (1..3), each with a salt of its own. The password is referred to, not copied.
  void encrypt(int strength, const std::string& password) {
    aes_strength_ = strength;
    password_ = &password;
  }

  // Writes `src` as entry `header.name` at `offset`; fills the header. On Ok the archive's
  // position is just past the entry's data. `progress` (may be empty) hears of every block
  // written but the last.
  Result write(const Source& src, uint64_t offset, EntryHeader* header,
               const EntryProgress& progress = {});

 private:
  Result pack(BinaryFile& in, EntryHeader* h, uint64_t data_at);
  Result pack_encrypted(BinaryFile& in, EntryHeader* h, uint64_t data_at);

  BinaryFile& out_;
  Workspace& work_;
  int level_;
  int aes_strength_ = 0;
  const std::string* password_ = nullptr;
  BlockPacker packer_;
  bool pooled_ = false;               // packer_ has its workers
  std::unique_ptr<ThreadPool> pool_;  // after packer_: its workers are joined first
};

}  // namespace pvx::zip
