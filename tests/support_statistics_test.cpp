#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#ifdef _WIN32
#include "codepage_win32.h"
#include "win32_handles.h"
#endif
#include "addin_fixture.h"
#include "seams/fs.h"
#include "support/number_format.h"
#include "support/statistics.h"
#include "ui/frm_about.h"

namespace parvex {
namespace {

using testing::read_file;
using testing::write_file;

// How the statistics file's numbers read back: blanks skipped, the first non-number ends a value.
// What print_number writes is checked as the stored file.
TEST(NumberText, ValReadsTheLeadingNumber) {
  const std::pair<double, const char*> read[] = {
      {1001, "1 0 0 1"}, {-350, "\t-3.5e2x"}, {12, "12abc"}, {1, "1,5"},
      {1, "1E"},         {1000, "1D3"},       {0, "abc"},    {0, ""},
      {0, "-"},          {0, "1e-400"},       {7, "+7"}};
  for (const auto& [value, text] : read) EXPECT_EQ(val(text), value) << text;
  EXPECT_THROW(val("1e400"), Failure);
}

class Statistics : public testing::AddinTest {
 protected:
  std::string stored() { return read_file(dir / "parvex.log"); }
  std::string labels() {
    auto& about = ui::touch<ui::frm_about>();
    return about.lbl_totalbytes.caption + "|" + about.lbl_totalzip.caption + "|" +
           about.lbl_Saving.caption;
  }
};

TEST_F(Statistics, ZippedBytesAreFoldedOnceAndStored) {
  ReadStatistics();
  EXPECT_EQ(stored(), "1\r\n1\r\n");
  EXPECT_EQ(labels(),
            "1 bytes (normal attachments)|1 bytes (using Parvex)|Saving: 0 % of bandwidth");
  statistics().PendingNormalBytes += 1000;
  statistics().PendingZipBytes += 400;
  WriteStatistics();
  WriteStatistics();
  EXPECT_EQ(stored(), " 1001 \r\n 401 \r\n");
  EXPECT_EQ(
      labels(),
      "1,001 bytes (normal attachments)|401 bytes (using Parvex)|Saving: 59.94 % of bandwidth");
  EXPECT_FALSE(fs::is_file(dir / "parvex.log.tmp"));

  services.separators = {".", ","};
  statistics().PendingNormalBytes = 1233566;
  ReadStatistics();
  WriteStatistics();
  EXPECT_EQ(stored(), " 1234567 \r\n 401 \r\n");
  EXPECT_EQ(labels(),
            "1.234.567 bytes (normal attachments)|401 bytes (using Parvex)|Saving: 99,97 "
            "% of bandwidth");
}

// A missing number reads as 0. A file that cannot give two totals is set aside (with every
// set-aside name taken, over the oldest of them) and the read starts afresh: the add-in always
// starts, and no read waits on a pipe or reads more than a few lines.
TEST_F(Statistics, DamagedFilesReadMissingNumbersAsZeroOrAreSetAside) {
  const std::string aside = dir / "parvex.log.unreadable";
  const std::string oldest = aside + ".57";
  const struct {
    std::string file;
    std::function<void()> arrange;  // instead of the file
    double normal, zip;
    const char* saving;
    bool set_aside;
  } cases[] = {
      {"1\r\nno number here\r\n", nullptr, 1, 0, "100.", false},
      {" 5000 \r\n", nullptr, 5000, 0, "100.", false},
      {"", nullptr, 0, 0, "0", false},
      {"0\r\n10\r\n", nullptr, 0, 10, "0", false},
      {"1000\n1500", nullptr, 1000, 1500, "0", false},
      {"1000\n995", nullptr, 1000, 995, "0.5", false},
      {"1E400\r\n1\r\n", nullptr, 1, 1, "0", true},
      {std::string(10 << 20, '9') + "\r\n1\r\n", nullptr, 1, 1, "0", true},
      {std::string(64, '\0'), nullptr, 1, 1, "0", true},
      {"1\r\n1\r\n" + std::string(5000, ' '), nullptr, 1, 1, "0", true},
      {"", [&] { fs::make_folder(dir / "parvex.log"); }, 1, 1, "0", true},
#ifndef _WIN32
      {"", [&] { ASSERT_EQ(mkfifo((dir / "parvex.log").c_str(), 0600), 0); }, 1, 1, "0", true},
#endif
      {"1E400",
       [&] {
         for (int n = 1; n <= 100; ++n)
           write_file(aside + (n == 1 ? "" : "." + std::to_string(n)), "");
         const auto at = testing::as_path(oldest);
         std::filesystem::last_write_time(
             at, std::filesystem::last_write_time(at) - std::chrono::hours(1));
         write_file(dir / "parvex.log", "1E400");
       },
       1, 1, "0", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 20));
    statistics() = StatisticsValues{};
    for (const auto& entry : fs::list_entries(dir.path())) {
      if (entry.starts_with("parvex.log"))
        std::filesystem::remove_all(testing::as_path(dir / entry));
    }
    c.arrange ? c.arrange() : write_file(dir / "parvex.log", c.file);
    EXPECT_NO_THROW(ReadStatistics());
    EXPECT_EQ(statistics().TotalNormalBytes, c.normal);
    EXPECT_EQ(statistics().TotalZipBytes, c.zip);
    EXPECT_EQ(ui::touch<ui::frm_about>().lbl_Saving.caption,
              "Saving: " + std::string(c.saving) + " % of bandwidth");
    EXPECT_EQ(fs::exists_no_follow(aside), c.set_aside);
    EXPECT_TRUE(!c.set_aside || stored() == "1\r\n1\r\n") << stored();
  }
  EXPECT_EQ(read_file(oldest), "1E400");
}

TEST_F(Statistics, WritesAddToTheStoredTotalsAndAFailedOneKeepsFileAndLabels) {
  write_file(dir / "parvex.log", " 5000 \r\n 2000 \r\n");
  statistics().PendingNormalBytes = 100;
  statistics().PendingZipBytes = 50;
#ifdef _WIN32
  {  // A locked file is never overwritten, and its totals still come back on the next write.
    pvx::win::unique_hfile lock(CreateFileW(pvx::utf8_to_wide(dir / "parvex.log").c_str(),
                                            GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_THROW(WriteStatistics(), Failure);
  }
#endif
  WriteStatistics();  // before any read
  EXPECT_EQ(stored(), " 5100 \r\n 2050 \r\n");

  const std::string before = labels();
  fs::make_folder(dir / "parvex.log.tmp");  // the new text cannot be written
  statistics().PendingNormalBytes = 1000;
  EXPECT_THROW(WriteStatistics(), Failure);
  EXPECT_EQ(stored(), " 5100 \r\n 2050 \r\n");
  EXPECT_EQ(statistics().TotalNormalBytes, 6100);
  EXPECT_EQ(statistics().PendingNormalBytes, 0);
  EXPECT_EQ(labels(), before);
}

TEST_F(Statistics, UnreadableFileIsKeptAsideAndTheTotalsInMemoryWritten) {
  const std::string overflowing = "1" + std::string(400, '0') + "\r\n5\r\n";
  for (const char* aside : {"parvex.log.unreadable", "parvex.log.unreadable.2"}) {
    statistics() = StatisticsValues{};
    write_file(dir / "parvex.log", overflowing);
    statistics().PendingNormalBytes = 100;
    statistics().PendingZipBytes = 40;
    WriteStatistics();
    EXPECT_EQ(stored(), " 100 \r\n 40 \r\n");
    EXPECT_EQ(read_file(dir / aside), overflowing);  // the earlier one is not overwritten
    EXPECT_EQ(statistics().PendingNormalBytes, 0);
  }
}

}  // namespace
}  // namespace parvex
