#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include "win32_handles.h"
#endif

#include "codepage.h"
#include "file.h"
#include "zip_fixture.h"

namespace pvx::zip::test {
namespace {

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

TEST_F(ZipTest, NothingMatchedCreatesNoArchive) {
  const std::string name(9000, 'q');  // a long message: capture() checks every piece
  EXPECT_EQ(zip(archive_, {name}), ZE_NONE);
  EXPECT_EQ(printed(), "zip warning: name not matched: " + name + "\nzip error: Nothing to do! (" +
                           archive_ + ")\n");
  EXPECT_FALSE(pvx::stat_path(archive_).exists);
  EXPECT_EQ(zip(archive_, {}), ZE_NONE);
}

TEST_F(ZipTest, SameNameIsReplacedAndTheOthersKept) {
  const std::string a = make("a.txt", "old a"), b = make("b.txt", random_bytes(70000, 3));
  ASSERT_EQ(zip(archive_, {a, b}), ZE_OK);
  make("a.txt", text_bytes(9000));
  ASSERT_EQ(zip(archive_, {a}), ZE_OK) << printed();
  EXPECT_NE(printed().find("updating: a.txt (deflated"), std::string::npos) << printed();
  const Archive z = read_zip(archive_);
  ASSERT_EQ(z.entries.size(), 2u);
  EXPECT_EQ(z.data("a.txt"), text_bytes(9000));
  EXPECT_EQ(z.data("b.txt"), random_bytes(70000, 3));
  for (const auto& e : fs::directory_iterator(dir_)) {
    EXPECT_NE(e.path().extension(), ".tmp") << "temporary file left behind";
  }
}

TEST_F(ZipTest, UpdateReplacesOnlyWithANewerFile) {
  const std::string a = make("a.txt", "first");
  pvx::set_mtime(a, 1600000000);
  ASSERT_EQ(zip(archive_, {a}), ZE_OK);
  const std::string before = read_file(archive_);
  Options update;
  update.update = 1;
  make("a.txt", "second");
  pvx::set_mtime(a, 1500000000);
  EXPECT_EQ(zip(archive_, {a}, update), ZE_NONE) << printed();
  EXPECT_EQ(read_file(archive_), before);
  pvx::set_mtime(a, 1700000000);
  EXPECT_EQ(zip(archive_, {a}, update), ZE_OK) << printed();
  EXPECT_EQ(read_zip(archive_).data("a.txt"), "second");
  // An update run still adds files the archive lacks.
  EXPECT_EQ(zip(archive_, {make("b.txt", "b")}, update), ZE_OK);
  EXPECT_EQ(read_zip(archive_).entries.size(), 2u);
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

TEST_F(ZipTest, BadParametersAreRefused) {
  const std::string f = make("a.txt", "a");
  ZipNameList list{};
  list.names[0] = const_cast<char*>(f.c_str());
  EXPECT_EQ(ZpArchive(1, nullptr, &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(1, "", &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(-1, archive_.c_str(), &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(101, archive_.c_str(), &list), ZE_PARMS);
  EXPECT_EQ(ZpArchive(1, archive_.c_str(), nullptr), ZE_PARMS);
  EXPECT_EQ(ZpArchive(2, archive_.c_str(), &list), ZE_PARMS);  // names[1] is null
  EXPECT_FALSE(pvx::stat_path(archive_).exists);
  EXPECT_EQ(ZpInit(nullptr), 0);
  EXPECT_EQ(ZpSetOptions(nullptr), 0);
}

TEST_F(ZipTest, TwoFilesUnderOneEntryNameAreRefused) {
  const std::string a = make("one/x.txt", "1"), b = make("two/x.txt", "2");
  EXPECT_EQ(zip(archive_, {a, b}), ZE_PARMS);
  EXPECT_NE(printed().find("name in zip file repeated: x.txt"), std::string::npos);
  EXPECT_FALSE(pvx::stat_path(archive_).exists);
  // The same file named twice is simply added once.
  EXPECT_EQ(zip(archive_, {a, a}), ZE_OK);
  EXPECT_EQ(read_zip(archive_).entries.size(), 1u);
}

TEST_F(ZipTest, ArchiveThatCannotBeCreated) {
  EXPECT_EQ(zip(path("missing") + kSep + "x.zip", {make("a.txt", "a")}), ZE_CREAT);
  EXPECT_NE(printed().find("zip error: could not create zip file"), std::string::npos);
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
