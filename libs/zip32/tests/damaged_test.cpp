// Existing archives that are damaged, lie, or cannot be written: the run fails with a code and
// the archive stays byte for byte as it was.
#include <filesystem>
#include <functional>
#include <string>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "zip_fixture.h"

namespace ziptest {
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

TEST_F(Damaged, TruncatedAnywhereIsRefused) {
  for (size_t n = 1; n < good_.size(); ++n) {
    ASSERT_EQ(attempt(good_.substr(0, n), fresh_), ZE_FORM) << "cut at " << n;
  }
  EXPECT_NE(printed().find("zip error: Zip file structure invalid"), std::string::npos);
}

TEST_F(Damaged, FlippedDirectoryBytesAreRefusedOrHarmless) {
  for (size_t i = central(); i < good_.size(); ++i) {
    std::string bad = good_;
    bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    const int32_t rc = attempt(bad, fresh_);
    EXPECT_TRUE(rc == ZE_OK || rc == ZE_FORM) << "byte " << i << " gave " << rc;
  }
}

struct Lie {
  const char* what;
  std::function<void(std::string&, size_t cd, size_t end)> damage;
  bool replace;  // add a.txt again, so the old entries are copied into a new file
};

class Lying : public Damaged, public ::testing::WithParamInterface<Lie> {};

TEST_P(Lying, IsRefusedAndLeftAlone) {
  std::string bad = good_;
  GetParam().damage(bad, central(), end_record());
  EXPECT_EQ(attempt(bad, GetParam().replace ? a_ : fresh_), ZE_FORM) << printed();
}

INSTANTIATE_TEST_SUITE_P(
    Zip32, Lying,
    ::testing::Values(
        Lie{"NotAZip", [](std::string& s, size_t, size_t) { s = random_bytes(5000, 9); }, false},
        Lie{"DirectoryPastTheEnd",
            [](std::string& s, size_t, size_t e) { s = patch32(s, e + 16, 0x7FFFFFF0); }, false},
        Lie{"HugeDirectorySize",
            [](std::string& s, size_t, size_t e) { s = patch32(s, e + 12, 0xFFFFFF00); }, false},
        Lie{"OneEntryTooMany", [](std::string& s, size_t, size_t e) { s[e + 10] += 1; }, false},
        Lie{"SplitArchive", [](std::string& s, size_t, size_t e) { s[e + 4] = 1; }, false},
        Lie{"EntryOffsetPastTheDirectory",
            [](std::string& s, size_t cd, size_t) { s = patch32(s, cd + 42, 0x00FFFFFF); }, false},
        Lie{"NameRunsPastTheDirectory",
            [](std::string& s, size_t cd, size_t) { s[cd + 29] = '\x7F'; }, false},
        Lie{"Zip64LocatorPointsNowhere",
            [](std::string& s, size_t, size_t e) {
              std::string loc("PK\6\7\0\0\0\0\xF0\xFF\xFF\xFF\xFF\0\0\0\1\0\0\0", 20);
              s.insert(e, loc);
            },
            false},
        Lie{"LocalHeaderGone", [](std::string& s, size_t, size_t) { s[0] = 'X'; }, true},
        Lie{"TwoEntriesOneOffset",
            [](std::string& s, size_t cd, size_t) {
              const size_t second = s.find(std::string("PK\1\2", 4), cd + 4);
              s = patch32(s, second + 42, 0);
            },
            true}),
    [](const auto& p) { return std::string(p.param.what); });

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
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      EXPECT_NE(e.path().extension(), ".tmp") << "temporary file left behind";
    }
  }
}
#endif

}  // namespace
}  // namespace ziptest
