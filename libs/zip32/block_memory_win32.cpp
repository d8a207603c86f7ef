#include "block_memory.h"

namespace pvx::zip {

void BlockMemoryFree::operator()(unsigned char* p) const noexcept {
  delete[] p;
}

// Large pages on Windows need a privilege a mail client does not hold: ordinary memory.
BlockMemory block_memory(size_t size) {
  return BlockMemory(new unsigned char[size]);
}

}  // namespace pvx::zip
