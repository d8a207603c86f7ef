// Existing archives that are damaged, lie, or cannot be written: the run fails with a code and
// the archive stays byte for byte as it was.
#include <functional>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "zip_fixture.h"

namespace pvx::zip::test {
namespace {

class Damaged : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    a_ = make("a.txt", text_bytes(3000));
    ASSERT_EQ(zip(archive_, {a_, make("b.bin", random_bytes(500, 4)), make("c.txt", "c")}), ZE_OK);
    good_ = read_file(archive_);
    fresh_ = make("new.txt", "new");
  }
  // Puts `bytes` in place of the archive and adds one file; a refusal must leave it unchanged.
  int32_t attempt(const std::string& bytes, const std::string& file) {
    write_file(archive_, bytes);
    const int32_t rc = zip(archive_, {file});
    if (rc != ZE_OK) {
      EXPECT_EQ(read_file(archive_), bytes) << "archive changed by a failed run";
    }
    return rc;
  }
  size_t end_record() const { return good_.rfind(std::string("PK\5\6", 4)); }
  size_t central() const { return good_.find(std::string("PK\1\2", 4)); }

  std::string a_, fresh_, good_;
};

TEST_F(Damaged, TruncatedOrFlippedArchivesAreRefusedOrHarmless) {
  for (size_t n = 1; n < good_.size(); ++n) {
    ASSERT_EQ(attempt(good_.substr(0, n), fresh_), ZE_FORM) << "cut at " << n;
  }
  EXPECT_NE(printed().find("zip error: Zip file structure invalid"), std::string::npos);
  for (size_t i = central(); i < good_.size(); ++i) {  // the directory and the end records
    std::string bad = good_;
    bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    const int32_t rc = attempt(bad, fresh_);
    EXPECT_TRUE(rc == ZE_OK || rc == ZE_FORM) << "byte " << i << " gave " << rc;
  }
}

TEST_F(Damaged, LyingArchivesAreRefusedAndLeftAlone) {
  const size_t cd = central(), e = end_record();
  const size_t cd2 = good_.find(std::string("PK\1\2", 4), cd + 4);
  const auto with = [&](size_t at, char c) { return std::string(good_).replace(at, 1, 1, c); };
  const std::string locator("PK\6\7\0\0\0\0\xF0\xFF\xFF\xFF\xFF\0\0\0\1\0\0\0", 20);
  const struct {
    const char* what;
    std::string bytes;
    bool replace;  // add a.txt again, so the old entries are copied into a new file
  } cases[] = {
      {"not a zip", random_bytes(5000, 9), false},
      {"directory past the end", patch32(good_, e + 16, 0x7FFFFFF0), false},
      {"huge directory size", patch32(good_, e + 12, 0xFFFFFF00), false},
      {"one entry too many", with(e + 10, static_cast<char>(good_[e + 10] + 1)), false},
      {"split archive", with(e + 4, 1), false},
      {"entry offset past the directory", patch32(good_, cd + 42, 0x00FFFFFF), false},
      {"name runs past the directory", with(cd + 29, '\x7F'), false},
      {"zip64 locator points nowhere", std::string(good_).insert(e, locator), false},
      {"local header gone", with(0, 'X'), true},
      {"two entries at one offset", patch32(good_, cd2 + 42, 0), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(attempt(c.bytes, c.replace ? a_ : fresh_), ZE_FORM) << c.what << "\n" << printed();
  }
}

#ifndef _WIN32
// Runs `run` in a child process whose files cannot grow past `limit` bytes; its result.
int32_t in_child_with_size_limit(rlim_t limit, const std::function<int32_t()>& run) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // writes past the limit then fail with EFBIG instead
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
    _exit(run());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Damaged, WriteFailureLeavesTheArchiveAsItWas) {
  const std::string big = make("big.bin", random_bytes(300000, 5));
  make("a.txt", random_bytes(300000, 6));
  for (const std::string& file : {big, a_}) {  // appended, then rebuilt to replace a.txt
    const int32_t rc =
        in_child_with_size_limit(good_.size() + 4096, [&] { return zip(archive_, {file}); });
    EXPECT_EQ(rc, ZE_WRITE) << file;
    EXPECT_EQ(read_file(archive_), good_);
    expect_no_temporaries();
  }
}
#endif

}  // namespace
}  // namespace pvx::zip::test
