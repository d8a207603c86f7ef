#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"
#include "support/probes.h"
#include "support/text_file.h"

namespace parvex {
namespace {

using testing::read_file;
using testing::write_file;

TEST(Probes, AnswerOnlyForTheirOwnKindAndNeverFail) {
  testing::TempFolder dir;
  write_file(dir / "file.txt", "x");
  fs::make_folder(dir / "sub");
  for (const auto& [path, file, folder] : std::vector<std::tuple<std::string, bool, bool>>{
           {dir / "file.txt", true, false},
           {dir / "sub", false, true},
           {dir / "missing", false, false},
           {dir / "file.txt" + kPathSep + "x", false, false},
           {"", false, false}}) {
    EXPECT_EQ(FileExists(path), file) << path;
    EXPECT_EQ(FolderExists(path), folder) << path;
  }
}

TEST(TextFile, WritesAnsiWithCrLfReadsLinesBackAndFailsWithRuntimeNumbers) {
  testing::TempFolder dir;
  const std::string path = dir / "t.txt";
  TextFile out(path, OpenMode::Output);
  out.print_line("caf\u00E9");
  out.print_line("");
  out.close();
  TextFile(path, OpenMode::Append).print_line("end");
  EXPECT_EQ(read_file(path), fs::to_ansi("caf\u00E9") + "\r\n\r\nend\r\n");

  for (const auto& [bytes, lines] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {read_file(path), {"caf\u00E9", "", "end"}},
           {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
           {"a\r\r\nb\n\n", {"a", "", "b", ""}},
           {"", {}}}) {
    write_file(path, bytes);
    TextFile in(path, OpenMode::Input);
    std::vector<std::string> got;
    while (!in.eof()) got.push_back(in.line_input());
    EXPECT_EQ(got, lines);
    EXPECT_EQ(testing::failure_of([&] { in.line_input(); }).number(), err::kInputPastEnd);
  }
  TextFile emptied(path, OpenMode::Output);
  EXPECT_EQ(testing::failure_of([&] { emptied.line_input(); }).number(), 54);  // bad file mode
  emptied.close();
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(testing::failure_of([&] { TextFile(dir / "none", OpenMode::Input); }).number(),
            err::kFileNotFound);
#ifndef _WIN32
  // A pipe under the name is refused at once in every mode: no open or read waits for a writer.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  for (const OpenMode mode : {OpenMode::Input, OpenMode::Output, OpenMode::Append}) {
    EXPECT_EQ(testing::failure_of([&] { TextFile(dir / "pipe", mode); }).number(),
              err::kPathFileAccess);
  }
#endif
}

// Names that one file system takes for one file. Simple case folding only: no "ss" for "ß",
// and the dotted capital I has no simple fold.
TEST(SameName, FoldsAsTheFileSystemDoes) {
  for (const auto& [a, b, same] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"Notes.TXT", "notes.txt", true},
           {"\u017D.txt", "\u017E.txt", true},                    // Ž ž
           {"\u0141\u00F3d\u017A", "\u0142\u00D3D\u0179", true},  // Łódź
           {"\u0178", "\u00FF", true},                            // Ÿ ÿ
           {"\u0394\u03A3", "\u03B4\u03C3", true},                // ΔΣ δσ
           {"\u0416", "\u0436", true},                            // Ж ж
           {"a.txt", "b.txt", false},
           {"a", "a ", false},
           {"stra\u00DFe", "strasse", false},
           {"\u0130", "i", false}}) {
    EXPECT_EQ(fs::same_name(a, b), same) << a << " " << b;
  }
}

#ifndef _WIN32
// The folding table against the Unicode Character Database it was generated from.
TEST(SameName, AgreesWithEverySimpleFoldOfTheCharacterDatabase) {
  std::ifstream ucd("/usr/share/unicode/CaseFolding.txt");
  if (!ucd) GTEST_SKIP() << "unicode-data is not installed";
  const auto utf8 = [](unsigned long c) {
    const auto u8 = std::filesystem::path(std::u32string(1, static_cast<char32_t>(c))).u8string();
    return std::string(u8.begin(), u8.end());
  };
  int checked = 0;
  std::string line;
  while (std::getline(ucd, line)) {
    unsigned long code = 0, folded = 0;
    char status = 0;
    if (std::sscanf(line.c_str(), "%lx; %c; %lx;", &code, &status, &folded) != 3) continue;
    if (status != 'C' && status != 'S') continue;
    EXPECT_TRUE(fs::same_name(utf8(code), utf8(folded))) << line;
    ++checked;
  }
  EXPECT_GT(checked, 1000);
}
#endif

}  // namespace
}  // namespace parvex
