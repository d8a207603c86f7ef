// The shared record layer: reads stop at the end of their bytes, and the zip64 block gives the
// writer the place of the offset it patches.
#include <gtest/gtest.h>

#include "zip_format.h"

namespace pvx {
namespace {

TEST(ByteCursor, StopsAtTheEnd) {
  struct Case {
    size_t size, skip, read;  // read: 2, 4 or 8 bytes
    bool ok;
    uint64_t value;
  };
  const std::string bytes("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  const Case cases[] = {{8, 0, 8, true, 0x0807060504030201},
                        {8, 6, 2, true, 0x0807},
                        {8, 6, 4, false, 0},
                        {7, 0, 8, false, 0},
                        {8, 9, 2, false, 0},
                        {0, 0, 2, false, 0}};
  for (const Case& c : cases) {
    ByteCursor cur(std::string_view(bytes).substr(0, c.size));
    cur.skip(c.skip);
    const uint64_t v = c.read == 2 ? cur.u16() : c.read == 4 ? cur.u32() : cur.u64();
    EXPECT_EQ(cur.ok(), c.ok) << c.size << " " << c.skip;
    EXPECT_EQ(v, c.value) << c.size << " " << c.skip;
    EXPECT_EQ(cur.bytes(0).size(), 0u);
    EXPECT_EQ(cur.ok(), c.ok);
  }
}

TEST(Zip64Extra, ResolvesDeferredFieldsInOrder) {
  // A block of another kind first, then zip64 with two 64-bit values and a disk number.
  std::string extra("\x0a\x00\x02\x00zz", 6);
  put16(extra, kZip64ExtraId);
  put16(extra, 20);
  put64(extra, 7);
  put64(extra, 9);
  put32(extra, 3);
  struct Case {
    uint64_t usize, csize, offset;
    uint32_t disk;
    uint64_t want_usize, want_offset;
    uint32_t want_disk;
    bool complete, offset_read;
    size_t offset_at;
  };
  const uint64_t m = 0xFFFFFFFF;
  const Case cases[] = {{m, 5, m, 0xFFFF, 7, 9, 3, true, true, 18},
                        {1, 5, m, 0xFFFF, 1, 7, 9, true, true, 10},
                        {m, m, m, 0, 7, m, 0, false, false, 0},
                        {1, 5, 6, 0, 1, 6, 0, true, false, 0}};
  for (const Case& c : cases) {
    uint64_t usize = c.usize, csize = c.csize, offset = c.offset;
    uint32_t disk = c.disk;
    const Zip64Resolution r = resolve_zip64(extra, &usize, &csize, &offset, &disk);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(usize, c.want_usize);
    EXPECT_EQ(offset, c.want_offset);
    EXPECT_EQ(disk, c.want_disk);
    EXPECT_EQ(r.complete, c.complete);
    EXPECT_EQ(r.offset_read, c.offset_read);
    EXPECT_EQ(r.offset_read ? r.offset_at : 0, c.offset_at);
  }
  uint64_t usize = m;
  EXPECT_FALSE(resolve_zip64("", &usize, nullptr, nullptr, nullptr).complete);
}

}  // namespace
}  // namespace pvx
