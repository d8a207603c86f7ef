#include <algorithm>
#include <iterator>

#ifdef _WIN32
#include "win32_handles.h"
#endif

#include "codepage.h"
#include "file.h"
#include "zip_fixture.h"

namespace pvx::zip::test {
namespace {

struct Call {
  std::string name;
  uint64_t done, total;
};
std::vector<Call> g_calls;
size_t g_stop_at = SIZE_MAX;  // the call that answers "stop"
int32_t g_close_in_run = 0;   // what ZpClosePool answered from inside the run

int32_t PVX_CALL watch(const char* name, uint64_t done, uint64_t total) {
  g_calls.push_back({name, done, total});
  g_close_in_run = ZpClosePool();
  return g_calls.size() - 1 == g_stop_at ? 1 : 0;
}

class ZipProgress : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    ZipCallbackRecord callbacks{nullptr, nullptr, nullptr, &watch};
    ASSERT_EQ(ZpInit(&callbacks), 1);
    g_calls.clear();
    g_stop_at = SIZE_MAX;
  }
  void TearDown() override { ZpClosePool(); }
};

// Threads of this process; Linux only, elsewhere 0.
size_t thread_count() {
#ifdef __linux__
  const fs::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(fs::begin(tasks), fs::end(tasks)));
#else
  return 0;
#endif
}

TEST_F(ZipTest, StoresTheExpectedEntryName) {
  // "@" stands for the test folder.
  const auto expand = [&](std::string s) {
    if (const size_t at = s.find('@'); at != std::string::npos) s.replace(at, 1, dir_);
    std::replace(s.begin(), s.end(), '/', kSep);
    return s;
  };
  const struct {
    const char *file, *given, *root, *stored;  // file: made under the test folder
  } cases[] = {{"sub/deep/a.txt", "@/sub/deep/a.txt", "", "a.txt"},
               {"sub/deep/a.txt", "@/sub/deep/a.txt", "@/sub", "a.txt"},
               {"sub/deep/a.txt", "deep/a.txt", "@/sub", "deep/a.txt"},
               {"sub/deep/a.txt", "deep/a.txt", "@/sub/", "deep/a.txt"},
               {"sub/deep/a.txt", "./deep/./a.txt", "@/sub", "deep/a.txt"},
               {"sub/a.txt", "../sub/a.txt", "@/sub", "sub/a.txt"},
               {"x/Café ü.txt", "x/Café ü.txt", "@", "x/Café ü.txt"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.given) + " under " + c.root);
    fs::remove(fs::u8path(archive_));
    make(c.file, "data");
    ASSERT_EQ(zip(archive_, {expand(c.given)}, Options{0, 0, 0, expand(c.root)}), ZE_OK)
        << printed();
    const Archive a = read_zip(archive_);
    ASSERT_EQ(a.entries.size(), 1u);
    EXPECT_EQ(a.entries[0].name, c.stored);
    EXPECT_EQ(a.entries[0].data, "data");
    EXPECT_EQ((a.entries[0].flags & 0x800) != 0, !pvx::is_ascii(c.stored)) << "UTF-8 flag";
    // Printed names are ANSI, like the names handed in.
    EXPECT_NE(printed().find(pvx::utf8_to_ansi(std::string("  adding: ") + c.stored)),
              std::string::npos);
  }
}

// A name already stored is replaced and the other entries kept; under update only by a newer
// file, though an update run still adds files the archive lacks.
TEST_F(ZipTest, SameNameIsReplacedAsAskedAndTheOthersKept) {
  const std::string a = make("a.txt", "old a"), b = make("b.txt", random_bytes(70000, 3));
  pvx::set_mtime(a, 1600000000);
  ASSERT_EQ(zip(archive_, {a}), ZE_OK);
  const std::string before = read_file(archive_);
  make("a.txt", text_bytes(9000));
  pvx::set_mtime(a, 1500000000);
  EXPECT_EQ(zip(archive_, {a}, Options{.update = 1}), ZE_NONE) << printed();
  EXPECT_EQ(read_file(archive_), before);
  pvx::set_mtime(a, 1700000000);
  ASSERT_EQ(zip(archive_, {a, b}, Options{.update = 1}), ZE_OK) << printed();
  EXPECT_NE(printed().find("updating: a.txt (deflated"), std::string::npos) << printed();
  EXPECT_EQ(read_zip(archive_).data("a.txt"), text_bytes(9000));
  make("a.txt", "older");
  pvx::set_mtime(a, 1500000000);
  ASSERT_EQ(zip(archive_, {a}), ZE_OK) << printed();
  const Archive z = read_zip(archive_);
  ASSERT_EQ(z.entries.size(), 2u);
  EXPECT_EQ(z.data("a.txt"), "older");
  EXPECT_EQ(z.data("b.txt"), random_bytes(70000, 3));
  expect_no_temporaries();
}

TEST_F(ZipTest, RecurseAddsTheFolderTreeAndNeverTheArchiveItself) {
  make("tree/a.txt", "a");
  make("tree/sub/b.txt", "b");
  fs::create_directories(fs::u8path(path("tree/empty")));
  const std::string inside = path("tree") + kSep + "self.zip";
  ASSERT_EQ(zip(inside, {"tree"}, Options{1, 0, 0, dir_}), ZE_OK) << printed();
  std::vector<std::string> names;
  for (const Entry& e : read_zip(inside).entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"tree/", "tree/a.txt", "tree/empty/", "tree/sub/",
                                             "tree/sub/b.txt"}));
  // Without recurse a folder is an empty folder entry.
  ASSERT_EQ(zip(archive_, {"tree"}, Options{0, 0, 0, dir_}), ZE_OK);
  EXPECT_EQ(read_zip(archive_).entries.size(), 1u);
}

// Bad parameters, a run that finds nothing to add, two files under one entry name or no place
// for the archive: refused (the runs saying why), and no archive is left.
TEST_F(ZipTest, RefusedRunsSayWhyAndCreateNoArchive) {
  const std::string a = make("one/x.txt", "1"), b = make("two/x.txt", "2");
  const std::string q(9000, 'q');  // a long message: capture() checks every piece
  const struct {
    std::vector<std::string> names;
    std::string archive;
    int32_t code;
    std::string said;
  } cases[] = {
      {{q},
       archive_,
       ZE_NONE,
       "zip warning: name not matched: " + q + "\nzip error: Nothing to do! (" + archive_ + ")\n"},
      {{}, archive_, ZE_NONE, "zip error: Nothing to do!"},
      {{a, b}, archive_, ZE_PARMS, "name in zip file repeated: x.txt"},
      {{a}, path("missing") + kSep + "x.zip", ZE_CREAT, "zip error: could not create zip file"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zip(c.archive, c.names), c.code) << c.said;
    EXPECT_TRUE(&c == cases ? printed() == c.said : printed().find(c.said) != printed().npos)
        << printed();
    EXPECT_FALSE(pvx::stat_path(c.archive).exists);
  }
  ZipNameList list{};
  list.names[0] = const_cast<char*>(a.c_str());
  EXPECT_EQ(ZpArchive(1, nullptr, &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(1, "", &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(-1, archive_.c_str(), &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(101, archive_.c_str(), &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(1, archive_.c_str(), nullptr), ZE_PARMS);
  EXPECT_EQ(ZpArchive(2, archive_.c_str(), &list), ZE_PARMS);  // names[1] is null
  EXPECT_FALSE(pvx::stat_path(archive_).exists);
  EXPECT_EQ(ZpInit(nullptr), 0);
  EXPECT_EQ(ZpSetOptions(nullptr), 0);
  // The same file named twice is simply added once.
  EXPECT_EQ(zip(archive_, {a, a}), ZE_OK);
  EXPECT_EQ(read_zip(archive_).entries.size(), 1u);
}

TEST_F(ZipTest, PassesZip64WhenEntriesExceed65535) {
  // An archive of 65,535 empty entries, written by hand, then one more through the library.
  std::vector<pvx::unzip::test::TestEntry> empties(65535);
  for (int i = 0; i < 65535; ++i) empties[i] = {.name = "e" + std::to_string(i), .deflate = false};
  write_file(archive_, pvx::unzip::test::make_zip(empties));
  ASSERT_EQ(zip(archive_, {make("last.txt", "last")}), ZE_OK) << printed();
  const Archive a = read_zip(archive_);
  EXPECT_TRUE(a.zip64_end);
  ASSERT_EQ(a.entries.size(), 65536u);
  EXPECT_EQ(a.entries.back().data, "last");
}

// A stop at the first call, in the middle of a file of many blocks or at the last call leaves
// an archive byte for byte as it was, whether the run appends, rebuilds or creates it.
TEST_F(ZipProgress, AStopLeavesTheArchiveAsItWas) {
  const std::string small = make("small.txt", "small"), big = make("big.txt", text_bytes(1 << 20));
  ASSERT_EQ(zip(archive_, {small, big}), ZE_OK);
  // Each file from 0 to its size, never back, with calls between the blocks of the large one.
  ASSERT_GT(g_calls.size(), 6u);
  EXPECT_EQ(g_calls.front().name, "small.txt");
  EXPECT_EQ(g_calls.back().name, "big.txt");
  for (size_t i = 0; i < g_calls.size(); ++i) {
    const Call& c = g_calls[i];
    const bool starts = i == 0 || g_calls[i - 1].name != c.name;
    const bool ends = i + 1 == g_calls.size() || g_calls[i + 1].name != c.name;
    EXPECT_EQ(c.total, c.name == "big.txt" ? 1u << 20 : 5u);
    EXPECT_TRUE(starts ? c.done == 0 : c.done >= g_calls[i - 1].done) << i;
    EXPECT_TRUE(!ends || c.done == c.total) << i;
  }
  const size_t calls = g_calls.size();
  const std::string existing = path("old.zip"), holding_big = path("big.zip");
  write_file(existing, read_file(archive_));
  ASSERT_EQ(zip(holding_big, {big}), ZE_OK);
  for (const size_t stop : {size_t{0}, calls / 2 + 1, calls - 1}) {
    for (const std::string& target : {existing, holding_big, path("new.zip")}) {
      SCOPED_TRACE(target + " stopped at call " + std::to_string(stop));
      const bool fresh = !pvx::stat_path(target).exists;
      const std::string before = fresh ? "" : read_file(target);
      g_calls.clear();
      g_stop_at = stop;
      EXPECT_EQ(zip(target, {small, big}), ZE_ABORT) << printed();
      EXPECT_EQ(g_calls.size(), stop + 1);
      EXPECT_EQ(pvx::stat_path(target).exists, !fresh);
      EXPECT_TRUE(fresh || read_file(target) == before);
    }
  }
  expect_no_temporaries();
}

// A pool kept open over several runs gives the bytes of runs that start their own, and its
// threads are gone once it is closed; it cannot be closed from inside a run.
TEST_F(ZipProgress, PoolGivesTheSameBytesAndEndsItsThreads) {
  const std::string a = make("a.bin", random_bytes(300000, 1) + text_bytes(900000));
  const std::string b = make("b.txt", text_bytes(70000));
  const size_t threads = thread_count();
  EXPECT_EQ(ZpClosePool(), 0);
  ASSERT_EQ(ZpOpenPool(), 1);
  EXPECT_EQ(ZpOpenPool(), 0);
  ASSERT_EQ(zip(archive_, {a}), ZE_OK);
  ASSERT_EQ(zip(archive_, {b}), ZE_OK);
  EXPECT_EQ(g_close_in_run, -1);
  EXPECT_EQ(ZpClosePool(), 1);
  EXPECT_EQ(ZpClosePool(), 0);
  EXPECT_EQ(thread_count(), threads);
  const std::string alone = path("alone.zip");
  ASSERT_EQ(zip(alone, {a}), ZE_OK);
  ASSERT_EQ(zip(alone, {b}), ZE_OK);
  EXPECT_TRUE(read_file(alone) == read_file(archive_));
  EXPECT_EQ(thread_count(), threads);
}

#ifdef _WIN32
TEST_F(ZipTest, FileLockedByAnotherProgramKeepsTheEntryItWouldReplace) {
  const std::string a = make("a.txt", "kept");
  ASSERT_EQ(zip(archive_, {a}), ZE_OK);
  pvx::win::unique_hfile lock(
      CreateFileW(fs::u8path(a).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  const int32_t rc = zip(archive_, {a, make("b.txt", "b")});
  lock.reset();
  EXPECT_EQ(rc, ZE_OPEN);
  EXPECT_NE(printed().find("could not open for reading"), std::string::npos) << printed();
  const Archive z = read_zip(archive_);
  EXPECT_EQ(z.data("a.txt"), "kept");
  EXPECT_EQ(z.data("b.txt"), "b");
}
#endif

}  // namespace
}  // namespace pvx::zip::test
