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

// A run that finds nothing to add, two files under one entry name or no place for the archive
// says why and leaves no archive.
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
