// The event log and its file, the about window and its signature, and the startup window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addin_fixture.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "seams/fs.h"
#include "support/statistics.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/links.h"
#include "ui/log_file.h"

namespace parvex {
namespace {

using testing::kStamp;
using testing::read_file;
using testing::write_file;

const std::string kTrailer(32, '*');

std::string block(const std::vector<std::string>& lines) {
  std::string text = "*****Saved - " + kStamp + "*****\r\n";
  for (const auto& line : lines) text += line + " 1 \r\n";
  return text + kTrailer + "\r\n";
}

class Windows : public testing::AddinTest {
 protected:
  ui::ListBox& list() { return ui::touch<ui::frm_outlook>().list_log; }
  ui::frm_about& about() { return ui::touch<ui::frm_about>(); }
  std::string log_file() {
    return fs::is_file(ui::event_log_path()) ? read_file(ui::event_log_path()) : "<none>";
  }
  static ShellExecuteArgs opened(std::string_view address) {
    return ShellExecuteArgs{0x1234, "open", std::string(address), std::nullopt, "", 0};
  }
};

// A save appends the lines as one block and clears the log, on the timer or when the log is full;
// a failed save keeps the lines, and a full log then drops its oldest.
TEST_F(Windows, TheLogSavesAsBlocksAndAFailedSaveKeepsItsLines) {
  auto& box = list();
  std::string expected;
  for (const std::vector<std::string>& lines :
       {std::vector<std::string>{}, {"only"}, {"first", "second", "third"}}) {
    for (const auto& line : lines) box.AddItem(line);
    about().Timer1_Timer();
    expected += block(lines);
    EXPECT_EQ(log_file(), expected);
    EXPECT_EQ(box.ListCount(), 0);
  }
  // A value holding line ends (a policy's text) stays one entry.
  LogEvent("ReadmeText: a\r\nb\tc");
  ASSERT_EQ(box.ListCount(), 1);
  EXPECT_TRUE(box.items[0].ends_with(" - ReadmeText: a\\x0D\\x0Ab\\x09c")) << box.items[0];
  box.Clear();
  for (int32_t i = 0; i < ui::ListBox::kMaxItems; ++i) box.AddItem(std::to_string(i));
  box.AddItem("next");
  EXPECT_EQ(box.items, std::vector<std::string>{"next"});
  const std::string saved = log_file().substr(expected.size());
  EXPECT_EQ(saved.find("*****Saved - " + kStamp + "*****\r\n0 1 \r\n"), 0u);
  EXPECT_NE(saved.find("\r\n32766 1 \r\n" + kTrailer), std::string::npos);
  EXPECT_TRUE(services.message_boxes.empty());

  fs::delete_file(ui::event_log_path());
  fs::make_folder(ui::event_log_path());  // cannot be opened as a file
  about().Timer1_Timer();
  EXPECT_EQ(box.items, std::vector<std::string>{"next"});
  ASSERT_EQ(services.message_boxes.size(), 1u);
  EXPECT_EQ(services.message_boxes[0].text, "seems that " + dir.path() + " is readonly folder...");
  EXPECT_EQ(services.message_boxes[0].caption, "");  // the add-in's default title

  box.items.assign(ui::ListBox::kMaxItems, "old");
  box.items[1] = "second oldest";
  box.AddItem("newest");
  EXPECT_EQ(box.ListCount(), ui::ListBox::kMaxItems);
  EXPECT_EQ(box.items.front(), "second oldest");
  EXPECT_EQ(box.items.back(), "newest");
  EXPECT_EQ(services.message_boxes.size(), 1u);
}

TEST_F(Windows, AboutLoadsStatisticsAndVersionAndUnloadWritesThem) {
  EXPECT_EQ(about().Label1.caption, "Version:1.00");
  about().parvex_chk.value = 0;
  about().Command1.click();  // hides; the setting stays
  EXPECT_FALSE(about().visible);
  EXPECT_EQ(about().parvex_chk.value, 0);

  statistics().PendingNormalBytes = 99;
  ui::close<ui::frm_about>();
  EXPECT_FALSE(ui::exists<ui::frm_about>());
  EXPECT_EQ(read_file(dir / "parvex.log"), " 100 \r\n 1 \r\n");

  write_file(dir / "parvex.log", "5000\r\n2500\r\n");
  EXPECT_EQ(about().parvex_chk.value, 1);
  EXPECT_EQ(about().lbl_Saving.caption, "Saving: 50. % of bandwidth");

  // A close whose statistics cannot be written still closes, and says why.
  fs::make_folder(dir / "parvex.log.tmp");
  EXPECT_THROW(ui::close<ui::frm_about>(), Failure);
  EXPECT_FALSE(ui::exists<ui::frm_about>());
}

TEST_F(Windows, AboutClicks) {
  about().handle = 0x1234;
  about().click();
  about().cmd_visit.click();
  about().cmd_email.click();
  EXPECT_EQ(services.shell_calls,
            (std::vector<ShellExecuteArgs>{opened(kProductWebPage), opened(kProductWebPage),
                                           opened(ui::kContactMail)}));

  // The logo saves and clears the event log before the page opens.
  list().AddItem("line");
  std::string file_when_opened;
  services.on_shell_execute = [&] {
    file_when_opened = log_file() + "|" + std::to_string(list().ListCount());
  };
  about().Image1.click();
  EXPECT_EQ(file_when_opened, block({"line"}) + "|0");
  EXPECT_EQ(services.shell_calls.back(), opened(kProductWebPage));

  about().Command4.click();
  EXPECT_TRUE(ui::touch<ui::frm_outlook>().visible);
  about().Command2.click();
  const std::string digits = about().Text1.text;
  EXPECT_EQ(decode_digits(digits), "...sent using Parvex - " + std::string(kProductWebPage));
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(services.clipboard, digits);
}

TEST_F(Windows, StartupWindowClosesOnEveryPathAndOpensThePageOnThree) {
  const struct {
    const char* name;
    void (*click)(ui::frm_ab&);
    bool opens_page;
  } paths[] = {
      {"line", [](ui::frm_ab& w) { w.Label1.click(); }, true},
      {"logo", [](ui::frm_ab& w) { w.Image1.click(); }, true},
      {"background", [](ui::frm_ab& w) { w.click(); }, true},
      {"continue", [](ui::frm_ab& w) { w.Command1.click(); }, false},
      {"close box", [](ui::frm_ab&) { ui::close<ui::frm_ab>(); }, false},
  };
  for (const auto& p : paths) {
    services.shell_calls.clear();
    auto& shown = ui::touch<ui::frm_ab>();
    shown.Show();
    ui::touch<ui::frm_ab>().Show();  // showing again shows the one already open
    EXPECT_EQ(&ui::touch<ui::frm_ab>(), &shown) << p.name;
    p.click(shown);
    EXPECT_FALSE(ui::exists<ui::frm_ab>()) << p.name;
    EXPECT_EQ(services.shell_calls.size(), p.opens_page ? 1u : 0u) << p.name;
  }
}

// The signature decodes three digits a character, as its source spells it out beside them, and
// the readme holds its line alone.
TEST_F(Windows, TheSignatureAndTheReadmeThatHoldsItAlone) {
  EXPECT_EQ(SignatureText(), "This archive was made by Parvex: " + std::string(kProductWebPage));
  const std::string source = PARVEX_RESOURCES "/../src/compression/signature.cpp";
  EXPECT_NE(testing::read_file(source).find("//   \"" + SignatureText() + "\"\n"),
            std::string::npos);
  EXPECT_EQ(decode_digits("072105033"), "Hi!");
  EXPECT_EQ(decode_digits("07210533"), "Hi!");
  EXPECT_EQ(decode_digits("0721053"), "Hi\x03");
  EXPECT_THROW(decode_digits("256"), Failure);
  if (fs::ansi_code("\u00E9") == 0xE9) {
    EXPECT_EQ(encode_digits("\u00E9t\u00E9"), "233116233");
  }
  EXPECT_THROW(WriteReadme(), Failure);  // no working folder yet
  fs::make_folder(dir / "Attachments");
  const std::string readme = dir / "Attachments" + kPathSep + "Readme.txt";
  testing::write_file(readme, "an older and much longer readme\r\nwith a second line\r\n");
  WriteReadme();
  WriteReadme();
  EXPECT_EQ(testing::read_file(readme), SignatureText() + "\r\n");
  // An administrator's line reads back as its text: ANSI where the code page carries it, else
  // UTF-8 behind a byte-order mark, never question marks.
  for (const std::string extra :
       {"Caf\u00E9 \u20AC", "\u041E\u0442\u0447\u0451\u0442 \u5831\u544A"}) {
    WriteReadme(extra);
    const std::string bytes = testing::read_file(readme);
    const bool bom = bytes.starts_with("\xEF\xBB\xBF");
    EXPECT_EQ(bom ? bytes.substr(3) : fs::from_ansi(bytes),
              SignatureText() + "\r\n" + extra + "\r\n");
    bool exact = true;
    fs::to_ansi(extra, &exact);
    EXPECT_EQ(bom, !exact) << extra;
  }
}

}  // namespace
}  // namespace parvex
