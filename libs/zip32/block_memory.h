// The memory the block buffers of a run come from: one piece, so that the system can back it
// with large pages where it offers them.
#pragma once

#include <cstddef>
#include <memory>

namespace pvx::zip {

struct BlockMemoryFree {
  void operator()(unsigned char* p) const noexcept;
};
using BlockMemory = std::unique_ptr<unsigned char[], BlockMemoryFree>;

// At least `size` bytes, not initialised; throws std::bad_alloc when there are none.
BlockMemory block_memory(size_t size);

}  // namespace pvx::zip
