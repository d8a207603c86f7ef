#include "crc.h"

#if PVX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>

#include <algorithm>
#include <limits>
#endif

namespace pvx {

uint32_t crc32_update(uint32_t crc, const void* data, size_t n) {
#if PVX_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, data, n);
#else
  // zlib takes its length as an unsigned int, which a 64-bit size_t may overflow.
  auto at = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (n > 0) {
    const size_t piece = std::min<size_t>(n, std::numeric_limits<uInt>::max());
    c = crc32(c, at, static_cast<uInt>(piece));
    at += piece;
    n -= piece;
  }
  return static_cast<uint32_t>(c);
#endif
}

}  // namespace pvx
