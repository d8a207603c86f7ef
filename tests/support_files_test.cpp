#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "platform/fs.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
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
  if (fs::ansi_code("\u00E9") == 0xE9) {
    EXPECT_EQ(read_file(path).substr(0, 5), "caf\xE9\r");
  }

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
}

}  // namespace
}  // namespace parvex
