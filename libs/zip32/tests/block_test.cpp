// The block packer driven directly: the joined stream must inflate to the input whatever the
// number of workers, and the stored decision must follow the data.

#include "parallel_deflate.h"
#include "thread_pool.h"
#include "zip_fixture.h"

namespace pvx::zip::test {
namespace {

using Kind = pvx::zip::PackResult::Kind;

// Blocks of noise that each end in a short run: deflate saves about 0.5% of every block.
std::string barely_compressible(size_t blocks) {
  std::string out;
  for (size_t i = 0; i < blocks; ++i) {
    out += random_bytes(kBlockSize - 680, static_cast<uint32_t>(i)) + std::string(680, 'a');
  }
  return out;
}

struct PackCase {
  const char* what;
  std::string data;
  Kind kind;
  PackMode mode = PackMode::Decide;
  uint64_t raw_before = 0;
  uint64_t at = 0;  // for Shrinks
};

class BlockPacker : public ZipTest {
 protected:
  // Packs `data` with `workers` threads (0: the calling thread alone); returns what came out.
  std::string pack(const PackCase& c, unsigned workers, pvx::zip::PackResult* r,
                   pvx::AesStream* cipher = nullptr) {
    pvx::zip::ThreadPool pool(workers);
    pvx::zip::BlockPacker packer(6, work_);
    packer.use_pool(&pool);
    packer.use_cipher(cipher);
    const std::string in_path = make("in.bin", c.data), out_path = path("out.bin");
    pvx::BinaryFile in, out;
    EXPECT_TRUE(in.open(in_path, pvx::BinaryFile::Mode::Read));
    EXPECT_TRUE(out.open(out_path, pvx::BinaryFile::Mode::Create));
    *r = packer.pack(in, c.data.size(), out, c.mode, c.raw_before);
    out.close();
    return read_file(out_path);
  }
  pvx::zip::PackWorkspace work_;
};

TEST_F(BlockPacker, JoinedBlocksInflateToTheInputWhateverTheWorkerCount) {
  // 1 MiB and more is cut into whole blocks, of which the first two are judged.
  const std::string mixed = random_bytes(4 * kBlockSize, 4) + text_bytes(4 * kBlockSize);
  const std::vector<PackCase> cases = {
      {"empty", "", Kind::Stored},
      {"one block and a byte", text_bytes(kBlockSize + 1), Kind::Deflated},
      {"repeated", repeated_bytes(5 * kBlockSize + kDictSize + 1), Kind::Deflated},
      {"random", random_bytes(3 * kBlockSize + 1, 3), Kind::Stored},
      // Too little gain to deflate the rest for, unless the judged blocks are the whole entry.
      {"0.5% smaller", barely_compressible(8), Kind::Stored},
      {"0.5% smaller, judged whole", barely_compressible(2), Kind::Deflated},
      // Smaller entries in two or four blocks, so that more than one worker has some.
      {"two small blocks", text_bytes(2 * kDictSize + 1), Kind::Deflated},
      {"four small blocks", repeated_bytes(3 * kBlockSize - 5), Kind::Deflated},
      {"random, then text", mixed, Kind::Shrinks, PackMode::Decide, 0, 4},
      {"stored blocks first", mixed, Kind::Deflated, PackMode::Deflate, 4},
      {"random, deflated", random_bytes(3 * kBlockSize, 6), Kind::NotSmaller, PackMode::Deflate},
  };
  for (const PackCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string first, first_sealed;
    for (const unsigned workers : {0u, 3u}) {
      pvx::zip::PackResult r;
      const std::string out = pack(c, workers, &r);
      ASSERT_EQ(r.kind, c.kind) << workers << " workers";
      if (workers == 0) first = out;
      EXPECT_TRUE(out == first) << "output depends on the number of workers";
      // Encrypted as written, with a fixed salt: the same bytes again, and they decrypt to
      // the plain output.
      const unsigned char salt[pvx::kAesMaxSalt] = {7};
      unsigned char verifier[pvx::kAesVerifierSize];
      pvx::AesStream seal, open;
      ASSERT_TRUE(seal.start("pw", 3, salt, verifier) && open.start("pw", 3, salt, verifier));
      std::string sealed = pack(c, workers, &r, &seal);
      if (workers == 0) first_sealed = sealed;
      EXPECT_TRUE(sealed == first_sealed) << "encrypted output depends on the number of workers";
      ASSERT_TRUE(open.decrypt(reinterpret_cast<unsigned char*>(sealed.data()), sealed.size()));
      EXPECT_TRUE(sealed == out) << "encryption changed the packed bytes";
      EXPECT_EQ(r.at, c.at);
      if (c.kind != Kind::Deflated && c.kind != Kind::Stored) continue;
      EXPECT_EQ(r.crc, pvx::unzip::test::crc_of(c.data));
      EXPECT_EQ(r.csize, out.size());
      std::string back = out;
      if (c.kind == Kind::Deflated) {
        EXPECT_TRUE(inflate_raw(out, c.data.size(), &back));
        // Primed blocks lose little against one stream over the whole input: a block header
        // each, not the matches reaching back into the block before.
        const uint64_t blocks = pvx::zip::block_plan_for(c.data.size()).count;
        if (c.raw_before == 0) {
          EXPECT_LE(out.size(),
                    pvx::unzip::test::raw_deflate(c.data).size() * 101 / 100 + 128 * blocks);
        }
      }
      EXPECT_TRUE(back == c.data) << "round trip";
    }
  }
}

// Every entry past the inline size reaches a second worker in even blocks, none outgrowing its
// buffer or too small to be worth handing over, and the last in quarters so that the cores end
// close together.
TEST(BlockSize, SplitsEntriesEvenlyWithinTheBuffers) {
  for (uint64_t size = pvx::zip::kInlineLimit + 1; size < 12 * kBlockSize; size += 4093) {
    const pvx::zip::BlockPlan p = pvx::zip::block_plan_for(size);
    uint64_t total = 0;
    for (uint64_t i = 0; i < p.count; ++i) {
      const size_t n = p.length(i);
      ASSERT_TRUE(n > 0 && n <= kBlockSize) << size << ": block " << i << " of " << n;
      total += n;
    }
    ASSERT_EQ(total, size);
    ASSERT_GE(p.block, pvx::zip::kMinBlock) << size;
    if (p.count == 2) continue;
    ASSERT_EQ((p.leading + 1) % 4, 0u) << size << ": " << p.leading << " leading blocks";
    ASSERT_EQ(p.count - p.leading, 4u) << size;
    ASSERT_LE(p.tail, p.block / 4 + 64) << size;
  }
}

}  // namespace
}  // namespace pvx::zip::test
