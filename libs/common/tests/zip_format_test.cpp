// The shared record layer: reads stop at the end of their bytes, the end-record search finds
// each candidate with its zip64 records, and the zip64 block gives the writer the place of the
// offset it patches.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <tuple>

#include "crc.h"
#include "unzip_support.h"
#include "zip_format.h"

namespace pvx {
namespace {

using unzip::test::le_fields;

// The fast CRC must give zlib's value at every alignment and length, whole or in pieces.
TEST(Crc32, MatchesZlibWholeAndInPieces) {
  std::string bytes(70000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 13);
  const auto zlib = [&](size_t at, size_t n) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(n)));
  };
  for (const size_t at : {0, 1, 3, 7, 13}) {
    for (const size_t n : {0, 1, 15, 16, 17, 63, 64, 255, 4096 + 5, 65536 + 9}) {
      EXPECT_EQ(crc32_update(0, bytes.data() + at, n), zlib(at, n)) << at << " " << n;
      const size_t half = n / 3;
      EXPECT_EQ(crc32_update(crc32_update(0, bytes.data() + at, half), bytes.data() + at + half,
                             n - half),
                zlib(at, n))
          << at << " " << n << " in two";
    }
  }
}

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
    EXPECT_EQ(cur.bytes(0).size(), 0u);
    EXPECT_EQ(std::pair(cur.ok(), v), std::pair(c.ok, c.value)) << c.size << " " << c.skip;
  }
}

// Signature, disks, entries here and in all, directory size and offset, comment length.
std::string end_record(uint16_t comment_length, uint32_t cd_offset) {
  return le_fields("4422442", {kEndOfCentralSig, 0, 1, 1, 46, cd_offset, comment_length});
}
// Signature, size of the rest, versions, disks, entries, directory size and offset.
std::string zip64_end(uint64_t cd_offset) {
  return le_fields("48488888", {kZip64EndSig, kZip64EndSize - 12, 0, 0, 1, 1, 46, cd_offset});
}
std::string locator(uint64_t zip64_end_at) {
  return le_fields("4484", {kZip64LocatorSig, 0, zip64_end_at, 1});
}

TEST(EndRecordSearch, GivesEachCandidateFromTheEndWithItsZip64Records) {
  // Position, comment length, locator, zip64 record, zip64 where stated, zip64 position.
  using Found = std::tuple<uint64_t, size_t, bool, bool, bool, uint64_t>;
  struct Case {
    const char* what;
    std::string file;
    std::vector<Found> found;
  };
  const std::string junk(100, 'j');
  const std::string inner = end_record(0, 7);  // an end record inside another's comment
  const Case cases[] = {
      {"comment holding an end record",
       junk + end_record(22 + 3, 1) + inner + "abc",
       {{122, 0, false, false, false, 0}, {100, 25, false, false, false, 0}}},
      {"comment beyond the last page, holding an end record",
       junk + end_record(5000, 1) + std::string(4978, 'c') + inner,
       {{5100, 0, false, false, false, 0}, {100, 5000, false, false, false, 0}}},
      {"comment longer than the file",
       junk + end_record(50, 1) + "ab",
       {{100, 2, false, false, false, 0}}},
      {"zip64 where the locator says",
       junk + zip64_end(3) + locator(100) + end_record(0, 9),
       {{176, 0, true, true, true, 100}}},
      {"zip64 moved by a stub",
       junk + zip64_end(3) + locator(40) + end_record(0, 9),
       {{176, 0, true, true, false, 100}}},
      {"locator without a zip64 end record",
       junk + locator(20) + end_record(0, 9),
       {{120, 0, true, false, false, 0}}},
      {"too short", "PK\x05\x06", {}},
  };
  for (const Case& c : cases) {
    EndRecordSearch search(
        [&](uint64_t offset, void* out, size_t n) {
          if (offset > c.file.size() || n > c.file.size() - offset) return false;
          std::memcpy(out, c.file.data() + offset, n);
          return true;
        },
        c.file.size());
    EXPECT_TRUE(search.read_ok()) << c.what;
    for (const Found& want : c.found) {
      const std::optional<EndRecords> r = search.next();
      ASSERT_TRUE(r) << c.what;
      EXPECT_EQ(Found(r->position, r->comment.size(), r->locator, r->zip64.has_value(),
                      r->zip64_as_stated, r->zip64 ? r->zip64_position : 0),
                want)
          << c.what;
      EXPECT_EQ(r->zip64 ? r->zip64->cd_offset : 3u, 3u) << c.what;
    }
    EXPECT_FALSE(search.next()) << c.what;
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
    // usize, offset and disk resolved, complete, offset read and where it was.
    std::tuple<uint64_t, uint64_t, uint32_t, bool, bool, size_t> want;
  };
  const uint64_t m = 0xFFFFFFFF;
  const Case cases[] = {{m, 5, m, 0xFFFF, {7, 9, 3, true, true, 18}},
                        {1, 5, m, 0xFFFF, {1, 7, 9, true, true, 10}},
                        {m, m, m, 0, {7, m, 0, false, false, 0}},
                        {1, 5, 6, 0, {1, 6, 0, true, false, 0}}};
  for (const Case& c : cases) {
    uint64_t usize = c.usize, csize = c.csize, offset = c.offset;
    uint32_t disk = c.disk;
    const Zip64Resolution r = resolve_zip64(extra, &usize, &csize, &offset, &disk);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(
        std::tuple(usize, offset, disk, r.complete, r.offset_read, r.offset_read ? r.offset_at : 0),
        c.want);
  }
  uint64_t usize = m;
  EXPECT_FALSE(resolve_zip64("", &usize, nullptr, nullptr, nullptr).complete);
}

}  // namespace
}  // namespace pvx
