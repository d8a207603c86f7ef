// The progress routine of a run, and test runs spread over threads: each entry reported once
// and in its place, progress on the calling thread, and a stop that cancels at once.
#include <gtest/gtest.h>

#include "le.h"
#include "unzip_engine.h"
#include "unzip_support.h"

namespace pvx::unzip::test {
namespace {

struct Told {
  std::string name;
  uint64_t done, total;
};
std::vector<Told> g_told;
size_t g_stop_at = SIZE_MAX;  // the call (from 0) that answers "stop"
std::string g_stop_after;     // or the end of this entry

int32_t PVX_CALL on_progress(const char* name, uint64_t done, uint64_t total) {
  g_told.push_back({name, done, total});
  return g_told.size() - 1 == g_stop_at || (name == g_stop_after && done == total) ? 1 : 0;
}

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    // A large entry first, then enough small ones to keep every thread busy: every other one
    // AES (whose keys the testing threads derive), f4 of them under another password and f9
    // damaged.
    entries_.push_back({.name = "big.txt", .data = std::string(3u << 20, 'x')});
    for (int i = 0; i < 20; ++i) {
      TestEntry e{.name = "f" + std::to_string(i) + ".txt", .data = std::string(5000 + i, 'a' + i)};
      if (i == 9) e.crc = 0x1234;
      e.aes = i % 2 == 0 ? 3 : 0;
      entries_.push_back(e);
    }
    std::vector<uint64_t> central;
    std::string zip = make_zip(entries_, "", &central);
    const auto at = [&](uint64_t i) { return reinterpret_cast<const unsigned char*>(&zip[i]); };
    const uint32_t local = get32(at(central[5] + 42));                          // f4
    zip[local + 30 + get16(at(local + 26)) + get16(at(local + 28)) + 16] ^= 1;  // its verifier
    write_file(archive_, zip);
    g_told.clear();
  }

  int run(bool test, Calls* calls) {
    Job job;
    job.options.test = test;
    job.options.overwrite = true;
    job.archive_shown = "a.zip";
    job.target = utf8(tmp_ / "out");
    job.progress = &on_progress;
    calls->passwords.assign(4, kAesPassword);
    const UnzipCallbackRecord cb = callbacks(calls);
    Totals totals;
    return run_file(utf8(archive_), job, &cb, &totals);
  }

  TempDir tmp_;
  fs::path archive_ = tmp_ / "a.zip";
  std::vector<TestEntry> entries_;
};

TEST_F(Progress, TestRunReportsEachEntryOnceInItsPlace) {
  Calls calls;
  EXPECT_EQ(run(true, &calls), PK_ERR);
  std::vector<std::string> listed, lines, told;
  for (const Listed& l : calls.listed) listed.push_back(l.name);
  for (size_t at = calls.printed.find("testing: "); at != std::string::npos;
       at = calls.printed.find("testing: ", at + 1)) {
    lines.push_back(calls.printed.substr(at + 9, calls.printed.find(' ', at + 9) - at - 9));
  }
  for (size_t i = 0; i < g_told.size(); ++i) {
    const Told& t = g_told[i];
    if (i == 0 || g_told[i - 1].name != t.name) {
      told.push_back(t.name);
      EXPECT_EQ(t.done, 0u) << t.name;
    } else {
      EXPECT_GE(t.done, g_told[i - 1].done) << t.name;
    }
  }
  std::vector<std::string> all, good;
  for (const TestEntry& e : entries_) {
    all.push_back(e.name);
    if (!e.crc && e.name != "f4.txt") good.push_back(e.name);
  }
  EXPECT_EQ(told, all);
  std::erase(all, "f4.txt");
  EXPECT_EQ(lines, all) << calls.printed;
  EXPECT_EQ(listed, good);
  // Asked for again in its turn, once the password of the entries before did not fit.
  const size_t f4 = calls.printed.find("skipping: f4.txt  (incorrect password)");
  EXPECT_TRUE(f4 > calls.printed.find("testing: f3.txt") &&
              f4 < calls.printed.find("testing: f5.txt"))
      << calls.printed;
  EXPECT_EQ(g_told.back().done, g_told.back().total);
  EXPECT_NE(calls.printed.find("f9.txt   bad CRC"), std::string::npos) << calls.printed;
}

// A stop at the first call, in the middle of the large entry or at the last call cancels the
// run there: nothing more is reported, and no file is left of the entry it stopped in.
TEST_F(Progress, AStopCancelsTheRunWhereItIs) {
  const struct {
    bool test;
    size_t stop_at;
    const char* stop_after;
    size_t reported;  // entries listed (test) or written (extract) before the stop
  } cases[] = {{true, 0, "", 0},
               {true, SIZE_MAX, "f19.txt", 18},
               {false, 0, "", 0},
               {false, 1, "", 0},
               {false, SIZE_MAX, "f19.txt", 18}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << (c.test ? "test" : "extract") << " stopped at " << c.stop_at << c.stop_after);
    Calls calls;
    fs::remove_all(tmp_ / "out");
    g_told.clear();
    g_stop_at = c.stop_at;
    g_stop_after = c.stop_after;
    EXPECT_EQ(run(c.test, &calls), IZ_CTRLC);
    EXPECT_TRUE(g_told.size() == c.stop_at + 1 || g_told.back().name == c.stop_after);
    EXPECT_EQ(calls.printed.find("No errors"), std::string::npos);
    EXPECT_EQ(c.test ? calls.listed.size() : files_under(tmp_ / "out").size(), c.reported);
  }
  g_stop_at = SIZE_MAX;
  g_stop_after.clear();
}

}  // namespace
}  // namespace pvx::unzip::test
