// The progress routine of a run, and test runs spread over threads: each entry reported once
// and in its place, progress on the calling thread, and a stop that cancels at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

int32_t PVX_CALL on_progress(const char* name, uint64_t done, uint64_t total) {
  g_told.push_back({name, done, total});
  return g_told.size() - 1 == g_stop_at ? 1 : 0;
}

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    // A large entry first, then enough small ones to keep every thread busy, one of them
    // damaged in the middle.
    std::string big;
    while (big.size() < (3u << 20)) big += "line " + std::to_string(big.size()) + " of text\n";
    big.resize(3u << 20);
    entries_.push_back({.name = "big.txt", .data = big});
    for (int i = 0; i < 20; ++i) {
      TestEntry e{.name = "f" + std::to_string(i) + ".txt", .data = std::string(5000 + i, 'a' + i)};
      if (i == 9) e.crc = 0x1234;
      entries_.push_back(e);
    }
    write_file(archive_, make_zip(entries_));
    g_told.clear();
  }

  int run(bool test, Calls* calls) {
    Job job;
    job.options.test = test;
    job.options.overwrite = true;
    job.archive_shown = "a.zip";
    job.target = utf8(tmp_ / "out");
    job.progress = &on_progress;
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
    if (!e.crc) good.push_back(e.name);
  }
  EXPECT_EQ(lines, all) << calls.printed;
  EXPECT_EQ(listed, good);
  EXPECT_EQ(told, all);
  EXPECT_EQ(g_told.back().done, g_told.back().total);
  EXPECT_NE(calls.printed.find("f9.txt   bad CRC"), std::string::npos) << calls.printed;
}

// A stop at the first call, in the middle of the large entry or at the last call cancels the
// run there: nothing more is reported, and no file is left of the entry it stopped in.
TEST_F(Progress, AStopCancelsTheRunWhereItIs) {
  const struct {
    bool test;
    size_t stop;      // SIZE_MAX - 1: the last call
    size_t reported;  // entries listed (test) or written (extract) before the stop
  } cases[] = {{true, 0, 0},
               {true, SIZE_MAX - 1, 19},
               {false, 0, 0},
               {false, 1, 0},
               {false, SIZE_MAX - 1, 19}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.test ? "test" : "extract") << " stopped at " << c.stop);
    Calls calls;
    g_told.clear();
    g_stop_at = SIZE_MAX;
    fs::remove_all(tmp_ / "out");
    if (c.stop == SIZE_MAX - 1) run(c.test, &calls);
    const size_t last = g_told.size() - 1;
    g_told.clear();
    calls = Calls{};
    fs::remove_all(tmp_ / "out");
    g_stop_at = c.stop == SIZE_MAX - 1 ? last : c.stop;
    EXPECT_EQ(run(c.test, &calls), IZ_CTRLC);
    EXPECT_EQ(g_told.size(), g_stop_at + 1);
    EXPECT_EQ(calls.printed.find("No errors"), std::string::npos);
    EXPECT_EQ(c.test ? calls.listed.size() : files_under(tmp_ / "out").size(), c.reported);
  }
  g_stop_at = SIZE_MAX;
}

}  // namespace
}  // namespace pvx::unzip::test
