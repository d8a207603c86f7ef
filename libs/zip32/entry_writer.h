// Streams one file into an archive as a stored or deflated entry, sizes and CRC in its
// local header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "file.h"
#include "records.h"
#include "sources.h"

namespace pvx::zip {

// Owns a raw-deflate stream; reset between entries so one allocation serves a whole run.
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

// Compression state and buffers kept from run to run on one thread: allocating and faulting
// in a fresh megabyte each call costs more than packing a small file.
struct Workspace {
  Deflater deflater;
  std::vector<unsigned char> in;
  std::vector<unsigned char> out;
};

class EntryWriter {
 public:
  enum class Result { Ok, SourceFailed, ArchiveFailed, OutOfMemory };

  // level 0 stores everything; 1..9 are zlib's levels.
  EntryWriter(BinaryFile& archive, int level, Workspace& work);

  // Writes `src` as entry `header.name` at `offset`; fills the header. On Ok the archive's
  // position is just past the entry's data.
  Result write(const Source& src, uint64_t offset, EntryHeader* header);

 private:
  Result copy(BinaryFile& in, EntryHeader* h, bool use_deflate, bool* shrank);

  BinaryFile& out_;
  int level_;
  Deflater& deflater_;
  std::vector<unsigned char>& in_buf_;
  std::vector<unsigned char>& out_buf_;
};

// Whether the start of a file reads as text (zlib's rule: no control codes but TAB, LF, CR).
bool looks_like_text(const unsigned char* data, size_t n);

}  // namespace pvx::zip
