// The manual zip window's zip action and file list, over the real zip library copied into a
// temporary add-in folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "addin_fixture.h"
#include "archive/library_loader.h"
#include "core/failure.h"
#include "seams/fs.h"
#include "support/statistics.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace parvex {
namespace {

using testing::as_path;
using testing::read_file;
using testing::write_file;

class ZipAction : public testing::AddinTest {
 protected:
  ZipAction() {
    testing::copy_libraries(dir.path());
    fs::make_folder(work);
  }

  ui::frm_outlook& window() { return ui::touch<ui::frm_outlook>(); }
  std::string stored() {
    return fs::is_file(dir / "parvex.log") ? read_file(dir / "parvex.log") : "<none>";
  }

  const std::string work = dir / "Attachments";
  const std::string archive = dir / "Attachments.zip";
};

TEST_F(ZipAction, PacksEachFileInListOrderAndCountsTheBytes) {
  write_file(work + kPathSep + "b.txt", std::string(3000, 'b'));
  write_file(work + kPathSep + "A.txt", std::string(1000, 'a'));
  write_file(work + kPathSep + "c.bin", "ccccc");
  fs::make_folder(work + kPathSep + "sub");  // folders are not files to pack
  window().txt_zipname.text = "renamed.zip";

  window().cmd_ZIP_Click();

  EXPECT_EQ(log(), (std::vector<std::string>{"Add A.txt return 0", "Add b.txt return 0",
                                             "Add c.bin return 0",
                                             "Zipped successfully...in renamed.zip"}));
  // The text box names only the log line: the archive keeps its one name. The send tests read
  // back what it holds.
  ASSERT_TRUE(fs::is_file(archive));
  EXPECT_FALSE(fs::is_file(dir / "renamed.zip"));
  // Read (1 and 1 for a new file), then folded: the sum of the files and the archive once.
  const auto zipped = fs::file_length(archive);
  EXPECT_EQ(stored(), " 4006 \r\n " + std::to_string(zipped + 1) + " \r\n");
  EXPECT_EQ(statistics().PendingNormalBytes, 0);
}

TEST_F(ZipAction, NothingToPackStillWritesTheStatistics) {
  for (const bool with_files : {false, true}) {
    if (with_files) {
      write_file(work + kPathSep + "kept.txt", "kept");
      ui::touch<ui::frm_about>().parvex_chk.value = 0;
    }
    window().cmd_ZIP_Click();
    EXPECT_TRUE(log().empty());
    EXPECT_FALSE(fs::is_file(archive));
    EXPECT_EQ(stored(), " 1 \r\n 1 \r\n");
    EXPECT_EQ(fs::is_file(work + kPathSep + "kept.txt"), with_files);
  }
}

// A missing folder fails before anything is logged or counted (nothing may reach the library
// either); then every run's result is checked: the first that fails ends the action, and no
// success is logged.
TEST_F(ZipAction, FailuresEndTheActionBeforeItsSuccessLine) {
  fs::delete_file(dir / library_file_name("zip32"));
  std::filesystem::remove(as_path(work));
  EXPECT_THROW(window().cmd_ZIP_Click(), Failure);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(stored(), "<none>");

  // The button reports what the send path's direct call would raise.
  services.clock = {2026, 12, 6, 14, 30, 0};
  window().cmd_ZIP.click();
  ASSERT_EQ(log().size(), 1u);
  EXPECT_EQ(log()[0].rfind("12/6/2026 2:30:00 PM - Zip failed: ", 0), 0u) << log()[0];
  ASSERT_EQ(services.message_boxes.size(), 1u);
  EXPECT_NE(log()[0].find(services.message_boxes[0].text), std::string::npos);

  clear_log();
  fs::make_folder(work);
  write_file(work + kPathSep + "1.txt", "first");
  write_file(work + kPathSep + "2.txt", "second");
  EXPECT_THROW(window().cmd_ZIP_Click(), Failure);
  EXPECT_EQ(log(), std::vector<std::string>{"Add 1.txt return 53"});
}

// The run's worker pool is open from the first file on and closed on the way out.
TEST_F(ZipAction, AFileGoneMidRunEndsTheRunAfterCountingTheOnesBefore) {
  write_file(work + kPathSep + "1.txt", "first");
  write_file(work + kPathSep + "2.txt", "second");
  using PoolCall = int32_t(PVX_CALL*)();
  const auto pool = [](const char* call) {
    return reinterpret_cast<PoolCall>(
        archive::archive_library(archive::ArchiveLibrary::Zip).symbol(call))();
  };
  int32_t opened_while_packing = -1;
  // The library lets window events run; one of them removes the next file.
  services.on_do_events = [&] {
    opened_while_packing = pool("ZpOpenPool");  // 0: one is open already
    attempt([&] { fs::delete_file(work + kPathSep + "2.txt"); });
  };
  ui::touch<ui::frm_about>();  // reads the statistics
  const std::string before = stored();
  EXPECT_THROW(window().cmd_ZIP_Click(), Failure);
  EXPECT_EQ(log(), std::vector<std::string>{"Add 1.txt return 0"});
  EXPECT_EQ(statistics().PendingNormalBytes, 5);
  EXPECT_EQ(stored(), before);  // WriteStatistics did not run
  EXPECT_EQ(opened_while_packing, 0);
  EXPECT_EQ(pool("ZpClosePool"), 0) << "the pool was left open";
}

TEST_F(ZipAction, ClosingTheWindowMidRunLogsIntoANewHiddenOne) {
  write_file(work + kPathSep + "1.txt", "first");
  write_file(work + kPathSep + "2.txt", "second");
  window().list_log.AddItem("older line");
  window().Show();
  services.on_do_events = [] { ui::close<ui::frm_outlook>(); };
  window().cmd_ZIP_Click();
  EXPECT_FALSE(window().visible);  // the new window is not the shown one
  EXPECT_EQ(log(), (std::vector<std::string>{"Add 2.txt return 0",
                                             "Zipped successfully...in Attachments.zip"}));
}

TEST(FileList, ListsFilesByNameAndRefusesAMissingFolder) {
  testing::TempFolder dir;
  for (const char* name : {"b", "C", "a"}) write_file(dir / name, name);
  fs::make_folder(dir / "d");
#ifdef _WIN32
  write_file(dir / "hidden", "h");
  write_file(dir / "system", "s");
  SetFileAttributesW(as_path(dir / "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(as_path(dir / "system").c_str(), FILE_ATTRIBUTE_SYSTEM);
#endif
  ui::FileListBox list;
  list.set_path(dir.path());
  EXPECT_EQ(list.items, (std::vector<std::string>{"a", "b", "C"}));
  EXPECT_THROW(list.List(3), Failure);
  EXPECT_THROW(list.set_path(dir / "missing"), Failure);
  EXPECT_EQ(list.path, dir.path());
}

}  // namespace
}  // namespace parvex
