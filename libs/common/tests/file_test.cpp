// The buffered file against a plain model of its bytes: seeks, reads and writes of every size,
// mixed as the libraries mix them, must leave the file and every read as the model says.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "file.h"
#include "unzip_support.h"

namespace pvx::unzip::test {
namespace {

TEST(BinaryFile, ReadsAndWritesAsAPlainModelOfItsBytes) {
  TempDir dir;
  const std::string path = utf8(dir / "f.bin");
  std::mt19937 gen(7);
  std::string model;
  BinaryFile f;
  ASSERT_TRUE(f.open(path, BinaryFile::Mode::Create));
  uint64_t pos = 0;
  // Sizes on both sides of the buffer's and the direct transfer's thresholds.
  const size_t sizes[] = {1, 4, 30, 4095, 16383, 16384, 65535, 65536, 65537, 200000};
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const size_t n = sizes[gen() % std::size(sizes)];
    switch (gen() % 6) {
      case 0:
      case 1: {  // write, maybe past the end
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(gen());
        ASSERT_TRUE(f.write(bytes));
        if (model.size() < pos + n) model.resize(pos + n, '\0');
        model.replace(pos, n, bytes);
        pos += n;
        break;
      }
      case 2:
      case 3: {  // read, maybe across the end
        std::string got(n, '\0');
        const size_t k = f.read(got.data(), n);
        const size_t want = pos < model.size() ? std::min<size_t>(n, model.size() - pos) : 0;
        ASSERT_EQ(k, want);
        ASSERT_TRUE(k == 0 || got.compare(0, k, model, pos, k) == 0);
        pos += k;
        break;
      }
      case 4:  // seek anywhere up to a little past the end
        pos = model.empty() ? 0 : gen() % (model.size() + 100);
        ASSERT_TRUE(f.seek(pos));
        break;
      default: {
        if (gen() % 4 == 0) {  // truncate, shorter or longer
          const uint64_t length = gen() % (model.size() + 1000);
          ASSERT_TRUE(f.truncate(length));
          model.resize(length, '\0');
        }
        uint64_t size = 0;
        ASSERT_TRUE(f.size(&size));
        ASSERT_EQ(size, model.size());
      }
    }
    ASSERT_EQ(f.tell(), pos);
  }
  ASSERT_TRUE(f.close());
  EXPECT_TRUE(read_file(dir / "f.bin") == model);
}

}  // namespace
}  // namespace pvx::unzip::test
