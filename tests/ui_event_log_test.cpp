// The event log: its file, its bound, and its loss with the window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "scripted/scripted_services.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/log_file.h"

namespace parvex {
namespace {

using testing::read_file;

const std::string kStamp = "12/6/2026 9:05:03 AM";
const std::string kTrailer(32, '*');

std::string block(const std::vector<std::string>& lines) {
  std::string text = "*****Saved - " + kStamp + "*****\r\n";
  for (const auto& line : lines) text += line + " 1 \r\n";
  return text + kTrailer + "\r\n";
}

class EventLog : public ::testing::Test {
 protected:
  EventLog() { svc.folder = dir.path(); }

  ui::ListBox& log() { return ui::touch<ui::FrmOutlook>().list_log; }
  ui::FrmAbout& about() { return ui::touch<ui::FrmAbout>(); }
  std::string log_file() {
    return fs::is_file(ui::event_log_path()) ? read_file(ui::event_log_path()) : "<none>";
  }

  testing::TempFolder dir;
  testing::ScriptedServices svc;
  testing::ScopedServices scope{svc};
};

TEST_F(EventLog, EachSaveAppendsEveryLineAsOneBlockAndClearsTheLog) {
  std::string expected;
  for (const std::vector<std::string>& lines :
       {std::vector<std::string>{}, {"only"}, {"first", "second", "third"}}) {
    for (const auto& line : lines) log().AddItem(line);
    about().Timer1_Timer();
    expected += block(lines);
    EXPECT_EQ(log_file(), expected);
    EXPECT_EQ(log().ListCount(), 0);
  }
  EXPECT_TRUE(svc.message_boxes.empty());
}

TEST_F(EventLog, AnUnwritableLogFileIsReportedAndTheLogKept) {
  fs::make_folder(ui::event_log_path());  // cannot be opened as a file
  log().AddItem("kept");
  about().Timer1_Timer();
  EXPECT_EQ(log().items, std::vector<std::string>{"kept"});
  ASSERT_EQ(svc.message_boxes.size(), 1u);
  EXPECT_EQ(svc.message_boxes[0].text, "seems that " + dir.path() + " is readonly folder...");
  EXPECT_EQ(svc.message_boxes[0].buttons, MsgButtons::Ok);
  EXPECT_EQ(svc.message_boxes[0].caption, "");  // the add-in's default title
}

TEST_F(EventLog, AFullLogSavesItselfAndDropsALineOnlyWhenTheSaveFails) {
  auto& list = log();
  for (int32_t i = 0; i < ui::ListBox::kMaxItems; ++i) list.AddItem(std::to_string(i));
  list.AddItem("next");
  EXPECT_EQ(list.items, std::vector<std::string>{"next"});
  const std::string saved = log_file();
  EXPECT_EQ(saved.rfind("*****Saved", 0), 0u);
  EXPECT_NE(saved.find("\r\n0 1 \r\n"), std::string::npos);
  EXPECT_NE(saved.find("\r\n32766 1 \r\n" + kTrailer), std::string::npos);

  fs::delete_file(ui::event_log_path());
  fs::make_folder(ui::event_log_path());
  list.items.assign(ui::ListBox::kMaxItems, "old");
  list.items[1] = "second oldest";
  list.AddItem("newest");
  EXPECT_EQ(list.ListCount(), ui::ListBox::kMaxItems);
  EXPECT_EQ(list.items.front(), "second oldest");
  EXPECT_EQ(list.items.back(), "newest");
  EXPECT_TRUE(svc.message_boxes.empty());
}

TEST_F(EventLog, ClosingTheZipWindowLosesItsLog) {
  LogEvent("before");
  ui::touch<ui::FrmOutlook>().Show();
  ui::close<ui::FrmOutlook>();
  EXPECT_FALSE(ui::exists<ui::FrmOutlook>());
  LogEvent("after");
  EXPECT_EQ(log().items, std::vector<std::string>{kStamp + " - after"});
  EXPECT_FALSE(ui::touch<ui::FrmOutlook>().visible);
}

}  // namespace
}  // namespace parvex
