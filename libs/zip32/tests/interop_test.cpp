// Archives checked by readers we did not write (unzip, 7z, Python's zipfile), and archives
// of the corpus extended by ours. Linux only: the tools are not there under wine.
#include <cstdio>
#include <utility>

#include "codepage.h"
#include "parallel_deflate.h"
#include "zip_fixture.h"

namespace pvx::zip::test {
namespace {

using Interop = ZipTest;

// Entries on either side of the block edges, through the thread pool and the stored decision,
// added one call each as the add-in packs them (its placeholder first), then read back by our
// reader, our unzip library and, on Linux, every outside reader at hand.
TEST_F(Interop, OneCallPerFileRoundTripsEverywhere) {
  struct Case {
    const char* name;
    std::string bytes;
    uint16_t method;
    bool text;
    char level = 0;  // default; '9' must mark the entry as deflated at maximum
  };
  const std::string text = text_bytes(4 * kBlockSize);
  const std::vector<Case> cases = {
      {"empty.txt", "", 0, false},
      {"one.txt", "x", 0, true},
      {"block.txt", text.substr(0, kBlockSize), 8, true},
      {"block1.txt", text.substr(0, kBlockSize + 1), 8, true},
      {"noise.bin", random_bytes(3 * kBlockSize + 1, 9), 0, false},
      {"repeated.bin", repeated_bytes(6 * kBlockSize + 1), 8, false},
      // Judged stored from its first blocks, then deflated once the text shows.
      {"mixed.bin", random_bytes(2 * kBlockSize, 10) + text, 8, false},
      // Compressible, but only after a buffer's worth of noise: must not be judged early.
      {"late.bin", random_bytes(300 * 1024, 2) + std::string(1 << 20, 'a'), 8, false},
      {"Café ü.txt", "accents", 0, true},
      {"level0.txt", text.substr(0, 20000), 0, true, '0'},
      {"level9.txt", text.substr(0, 20000), 8, true, '9'},
  };
  std::vector<std::pair<std::string, std::string>> pairs;  // (entry, file)
  std::string before;
  uint64_t data_end = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pairs.emplace_back(c.name, make(c.name, c.bytes));
    ASSERT_EQ(zip(archive_, {"querty", pairs.back().second}, Options{0, 0, c.level, ""}), ZE_OK)
        << printed();
    EXPECT_NE(printed().find("zip warning: name not matched: querty\n"), std::string::npos);
    const std::string how = c.method == 8 ? " (deflated " : " (stored 0%)";
    EXPECT_NE(printed().find(pvx::utf8_to_ansi("  adding: " + pairs.back().first + how)),
              std::string::npos)
        << printed();
    const std::string now = read_file(archive_);
    EXPECT_EQ(now.substr(0, data_end), before.substr(0, data_end)) << "entry data moved";
    const Archive a = read_zip(archive_);
    ASSERT_EQ(a.entries.size(), pairs.size());
    const Entry& e = a.entries.back();
    EXPECT_EQ(e.name, c.name);
    EXPECT_TRUE(e.data == c.bytes);
    EXPECT_EQ(e.method, c.method);
    EXPECT_EQ(e.internal_attr & 1, c.text ? 1 : 0);
    EXPECT_EQ(e.flags & 6, c.level == '9' ? 2 : 0);
    EXPECT_TRUE(e.method == 0 ? e.csize == e.usize : e.csize < e.usize);
    data_end = e.offset;
    before = now;
  }
  make("docs/sub/notes.txt", text_bytes(3000));
  ASSERT_EQ(zip(archive_, {"docs"}, Options{1, 0, 0, dir_}), ZE_OK) << printed();
  pairs.emplace_back("docs/sub/notes.txt", path("docs/sub/notes.txt"));
  // Our unzip library tests the archive, loaded by name as the add-in loads it.
  pvx::unzip::test::Calls calls;
  UnzipOptionRecord test = pvx::unzip::test::default_options();
  test.TestZip = 1;
  EXPECT_EQ(pvx::unzip::test::unzip(fs::u8path(archive_), fs::u8path(dir_), test, &calls).code,
            PK_OK)
      << calls.printed;
#ifndef _WIN32
  // unzip and 7z test the archive; Python's zipfile checks every CRC, and that each entry holds
  // its file's bytes.
  EXPECT_EQ(sh("unzip -tq '" + archive_ + "'"), 0);
  EXPECT_EQ(sh("7z t -bd '" + archive_ + "'"), 0);
  std::string args;
  for (const auto& [entry, file] : pairs) args += " '" + entry + "' '" + file + "'";
  EXPECT_EQ(sh("python3 -c '\n"
               "import sys, zipfile\n"
               "z = zipfile.ZipFile(sys.argv[1])\n"
               "assert z.testzip() is None\n"
               "for e, f in zip(sys.argv[2::2], sys.argv[3::2]):\n"
               "    assert z.read(e) == open(f, \"rb\").read(), e\n' '" +
               archive_ + "'" + args),
            0);
  // Info-ZIP's unzip honours the UTF-8 flag only for some makers: the name must come back whole.
  EXPECT_EQ(sh("LC_ALL=C.UTF-8 unzip -Z1 '" + archive_ + "' | grep -qx 'Café ü.txt'"), 0);
#endif
}

// Every archive of the corpus, appended to and then with its first entry replaced: a run
// keeps an archive that Python could test testable, or fails and leaves it alone.
TEST_F(Interop, CorpusArchivesStayReadableOrUntouched) {
#ifdef _WIN32
  GTEST_SKIP() << "zip tools run on Linux only";
#else
  const auto output_of = [](const std::string& command) {
    std::string out;
    if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
      for (int c; (c = std::fgetc(p)) != EOF;) out += static_cast<char>(c);
      pclose(p);
    }
    return out;
  };
  if (!fs::is_directory(PVX_ZIP_CORPUS)) GTEST_SKIP() << "no corpus at " << PVX_ZIP_CORPUS;
  const std::string fresh = make("zz_new.txt", "appended");
  fs::create_directories(path("out"));
  int extended = 0;
  for (const auto& item : fs::directory_iterator(PVX_ZIP_CORPUS)) {
    if (item.path().extension() != ".zip") continue;
    const std::string name = item.path().filename().string();
    const std::string archive = path("out/" + name);
    fs::copy_file(item.path(), archive);
    std::string first = output_of("unzip -Z1 '" + archive + "'");
    first = first.substr(0, first.find('\n'));
    std::vector<std::string> files = {fresh};
    bool exact = false;  // names reach the library in ANSI, which may not hold every character
    pvx::utf8_to_ansi(first, &exact);
    if (exact && !first.empty() && first.find_first_of("/\\'") == std::string::npos) {
      files.push_back(make("replace/" + first, "replacement"));
    }
    for (const std::string& file : files) {
      const std::string before = read_file(archive);
      const int32_t rc = zip(archive, {file});
      if (rc == ZE_OK) {
        ++extended;
      } else {
        EXPECT_EQ(rc, ZE_FORM) << name << " + " << file << "\n" << printed();
        EXPECT_EQ(read_file(archive), before) << name;
      }
    }
  }
  EXPECT_GT(extended, 100);
  // One Python for all: names of archives that tested good before and not after.
  const std::string worse = output_of(
      "python3 -c 'import os, sys, zipfile\n"
      "def good(p):\n"
      "    try: return zipfile.ZipFile(p).testzip() is None\n"
      "    except Exception: return False\n"
      "for n in sorted(os.listdir(sys.argv[2])):\n"
      "    if good(os.path.join(sys.argv[1], n)) and not good(os.path.join(sys.argv[2], n)):\n"
      "        print(n)' '" PVX_ZIP_CORPUS "' '" +
      path("out") + "'");
  EXPECT_EQ(worse, "");
#endif
}

}  // namespace
}  // namespace pvx::zip::test
