// The CRC-32 of zip entries. Where libdeflate is built in, its carry-less-multiply folding runs
// many times faster than zlib's tables; the result is the same either way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pvx {

// Continues crc (0 to start) over n bytes at data, as zlib's crc32 does.
uint32_t crc32_update(uint32_t crc, const void* data, size_t n);

}  // namespace pvx
