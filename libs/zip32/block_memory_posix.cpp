#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "block_memory.h"

namespace pvx::zip {
namespace {

constexpr size_t kLargePage = 2 * 1024 * 1024;

}  // namespace

void BlockMemoryFree::operator()(unsigned char* p) const noexcept {
  std::free(p);
}

BlockMemory block_memory(size_t size) {
  // In 2 MiB pages where the kernel has them on request: the buffers of a run are then a fault
  // or two, where in 4 KiB pages they were hundreds, each costing far more than its bytes.
  const size_t whole = (size + kLargePage - 1) / kLargePage * kLargePage;
  void* p = std::aligned_alloc(kLargePage, whole);
  if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  ::madvise(p, whole, MADV_HUGEPAGE);  // a refusal leaves ordinary pages
#endif
  return BlockMemory(static_cast<unsigned char*>(p));
}

}  // namespace pvx::zip
