// The C interface and its options, through the shared library.
#include <gtest/gtest.h>

#include "dostime.h"
#include "file.h"
#include "unzip_support.h"
#include "ziperrors.h"

#include <zlib.h>

namespace pvx::unzip::test {
namespace {

class Unzip : public ::testing::Test {
 protected:
  void make(const std::vector<TestEntry>& entries, const std::string& comment = "") {
    write_file(archive_, make_zip(entries, comment));
  }
  Result run(const std::vector<std::string>& in = {}, const std::vector<std::string>& ex = {}) {
    return unzip(archive_, out_, o_, &calls_, in, ex);
  }
  std::string out(const std::string& name) const { return read_file(out_ / fs::u8path(name)); }

  TempDir tmp_;
  fs::path archive_ = tmp_ / "a.zip";
  fs::path out_ = tmp_ / "out" / "nested";
  Calls calls_;
  UnzipOptionRecord o_ = default_options();
  const std::time_t entry_time_ = from_dos({TestEntry{}.dos_date, TestEntry{}.dos_time});
};

TEST_F(Unzip, ExtractsFoldersKeepsTimesAndReportsTotals) {
  make({{"docs/", ""}, {"docs/a.txt", std::string(5000, 'a')}, {"b", "0123456789", false}});
  const Result r = run();
  EXPECT_EQ(r.code, PK_OK) << calls_.printed;
  EXPECT_EQ(files_under(out_), (std::vector<std::string>{"b", "docs/a.txt"}));
  EXPECT_EQ(out("docs/a.txt"), std::string(5000, 'a'));
  EXPECT_NE(calls_.printed.find("  inflating: docs/a.txt\n extracting: b\n"), std::string::npos);
  EXPECT_EQ(stat_path(utf8(out_ / "b")).mtime, entry_time_);
  EXPECT_EQ(r.record.entry_count, 3u);
  EXPECT_EQ(r.record.total_size, 5010u);
  EXPECT_GE(r.record.compression_factor, 98u);
}

TEST_F(Unzip, ExistingFilesFollowTheOptionsAndTheAnswers) {
  make({{"a", "new a"}, {"b", "new b"}});
  const struct {
    int prompt, overwrite, freshen, update;
    int age;  // of both files on disk against the entries: 0 none, -1 older, 1 newer
    std::deque<int32_t> answers;
    const char *a, *b;  // the files afterwards
    size_t asked;
  } cases[] = {
      {0, 1, 0, 0, 1, {}, "new a", "new b", 0},
      {0, 0, 0, 0, 1, {}, "old a", "old b", 0},
      {1, 0, 0, 0, 1, {102, 102}, "new a", "new b", 2},
      {1, 0, 0, 0, 1, {100, 102}, "old a", "new b", 2},
      {1, 0, 0, 0, 1, {104}, "old a", "old b", 1},
      {1, 1, 0, 0, 1, {100, 102}, "old a", "new b", 2},
      {0, 1, 1, 0, -1, {}, "new a", "new b", 0},  // freshen
      {0, 1, 1, 0, 1, {}, "old a", "old b", 0},
      {0, 1, 1, 0, 0, {}, "", "", 0},
      {0, 1, 0, 1, -1, {}, "new a", "new b", 0},  // update
      {0, 1, 0, 1, 1, {}, "old a", "old b", 0},
      {0, 1, 0, 1, 0, {}, "new a", "new b", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fs::remove_all(out_);
    if (c.age) fs::create_directories(out_);
    for (const char* name : {"a", "b"}) {
      if (!c.age) break;
      write_file(out_ / name, std::string("old ") + name);
      set_mtime(utf8(out_ / name), entry_time_ + 3600 * c.age);
    }
    o_.PromptOverwrite = c.prompt;
    o_.OverWriteFiles = c.overwrite;
    o_.ExtractOnlyNewer = c.freshen;
    o_.ExtractNewer = c.update;
    calls_ = {};
    calls_.replace_answers = c.answers;
    EXPECT_EQ(run().code, PK_OK);
    EXPECT_EQ(out("a") + "," + out("b"), std::string(c.a) + "," + c.b);
    ASSERT_EQ(calls_.replace_asked.size(), c.asked);
    if (c.asked) {
      EXPECT_EQ(fs::u8path(calls_.replace_asked[0]), out_ / "a");
    }
  }
}

TEST_F(Unzip, ListsThroughTheListRoutineAndWritesNothing) {
  make({{"d/", ""}, {"d/a", std::string(1234, 'z')}, {.name = "s", .deflate = false, .flags = 1}},
       "the comment");
  o_.ExtractList = 1;
  o_.DisplayComment = 1;
  const Result r = run();
  EXPECT_EQ(r.code, PK_OK);
  EXPECT_EQ(calls_.printed, "the comment\n");
  EXPECT_EQ(r.record.comment_length, 11u);
  EXPECT_FALSE(fs::exists(out_));
  ASSERT_EQ(calls_.listed.size(), 3u);
  const Listed& a = calls_.listed[1];
  EXPECT_EQ(a.name + " " + a.method + " " + calls_.listed[2].method, "d/a Defl:N Stored");
  EXPECT_EQ(
      (std::vector<uint32_t>{a.size, a.ratio, a.crc, a.month, a.day, a.year, a.hour, a.minute}),
      (std::vector<uint32_t>{1234, 100 - a.csize * 100 / 1234, crc_of(std::string(1234, 'z')), 3, 5,
                             2004, 9, 7}));
  EXPECT_EQ(std::string() + calls_.listed[0].c + a.c + calls_.listed[2].crypt + a.crypt, "d E ");
  EXPECT_EQ(calls_.serviced, (std::vector<std::string>{"d/", "d/a", "s"}));
}

// The options no product path sets still do what the record says: names, output, matching and
// how much is printed.
TEST_F(Unzip, NamesOutputAndMessagesFollowTheirOptions) {
  make({{"Dir/A b.txt", "body"}});
  const struct {
    int32_t UnzipOptionRecord::*field;
    int32_t value;
    const char* include;
    const char* files;    // extracted, blank-separated
    const char* printed;  // found in what was printed ("" for nothing at all)
    int code;
  } cases[] = {
      {&UnzipOptionRecord::SpaceToUnderScore, 1, nullptr, "Dir/A_b.txt", "inflating", PK_OK},
      {&UnzipOptionRecord::WriteToStdOut, 1, nullptr, "", "body", PK_OK},
      {&UnzipOptionRecord::CaseSensitive, 0, "dir/a*", "Dir/A b.txt", "inflating", PK_OK},
      {&UnzipOptionRecord::CaseSensitive, 1, "dir/a*", "", "dir/a*", PK_FIND},
      {&UnzipOptionRecord::MessageLevel, 0, nullptr, "Dir/A b.txt", "", PK_OK},
      {&UnzipOptionRecord::Verbose, 1, nullptr, "Dir/A b.txt", "1 entries, 4 bytes", PK_OK},
      {&UnzipOptionRecord::TestZip, 1, nullptr, "", "testing: Dir/A b.txt   OK\n", PK_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fs::remove_all(out_);
    o_ = default_options();
    o_.*c.field = c.value;
    calls_ = {};
    EXPECT_EQ(
        run(c.include ? std::vector<std::string>{c.include} : std::vector<std::string>{}).code,
        c.code);
    std::string files;
    for (const auto& f : files_under(out_)) files += (files.empty() ? "" : " ") + f;
    EXPECT_EQ(files, c.files);
    EXPECT_TRUE(c.field != &UnzipOptionRecord::TestZip || !fs::exists(out_)) << "a test wrote";
    if (*c.printed) {
      EXPECT_NE(calls_.printed.find(c.printed), std::string::npos) << calls_.printed;
    } else {
      EXPECT_EQ(calls_.printed, "");
    }
  }
}

// zip -P wrote "one" and "two" with the password "right", then "plain" without one; none of
// the wrong answers below passes an entry's check byte.
TEST_F(Unzip, PasswordsAreAskedPerEntryAndWhatWorkedIsKept) {
  archive_ = fs::u8path(PVX_UNZIP_DATA "/pw.zip");
  const struct {
    std::deque<std::string> answers;
    int code;
    size_t asked;
    const char* message;
  } cases[] = {{{"right"}, PK_OK, 1, "ing: two"},
               {{"no", "right"}, PK_OK, 2, "ing: one"},
               {{}, IZ_BADPWD, 2, "(no password given)"},
               {{"a", "b", "c"}, IZ_BADPWD, 4, "one  (incorrect password)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fs::remove_all(out_);
    calls_ = {};
    calls_.passwords = c.answers;
    EXPECT_EQ(run().code, c.code);
    EXPECT_EQ(calls_.password_names.size(), c.asked);
    EXPECT_EQ(out("one") + out("two") + out("plain"), c.code == PK_OK ? "firstsecondopen" : "open");
    EXPECT_NE(calls_.printed.find(c.message), std::string::npos) << calls_.printed;
  }
}

TEST(UnzipApi, VersionRecord) {
  UnzipVersionRecord v{};
  EXPECT_EQ(api().version(&v), 1);  // structlen must be the record's
  v.structlen = sizeof v;
  EXPECT_EQ(api().version(&v), 0);
  EXPECT_EQ(v.flag, 2);
  EXPECT_STREQ(v.zlib, zlibVersion());
  EXPECT_EQ(api().version(nullptr), 1);
}

TEST_F(Unzip, RefusesWhatCannotBeReadOrBadParametersAndRunsWithoutCallbacks) {
  make({});
  for (const auto& [archive, code] :
       {std::pair{tmp_ / "missing.zip", PK_NOZIP}, {tmp_.path(), PK_NOZIP}, {archive_, PK_WARN}}) {
    calls_ = {};
    EXPECT_EQ(unzip(archive, out_, o_, &calls_).code, code);
    EXPECT_FALSE(calls_.printed.empty());
  }
  make({{"a.txt", "x"}});
  std::string name = utf8(archive_), target = utf8(out_);
  o_.ZipFileName = name.data();
  o_.ExtractDir = target.data();
  ZipNameList names{};
  UnzipCallbackRecord cb{};
  cb.total_size = 77;
  EXPECT_EQ(api().unzip(0, &names, 0, &names, nullptr, &cb), PK_BADERR);
  EXPECT_EQ(cb.total_size, 0u);
  EXPECT_EQ(api().unzip(101, &names, 0, &names, &o_, &cb), PK_BADERR);
  EXPECT_EQ(api().unzip(1, nullptr, 0, nullptr, &o_, &cb), PK_BADERR);
  EXPECT_EQ(api().unzip(0, nullptr, 0, nullptr, &o_, nullptr), PK_OK);
  EXPECT_EQ(out("a.txt"), "x");
}

}  // namespace
}  // namespace pvx::unzip::test
