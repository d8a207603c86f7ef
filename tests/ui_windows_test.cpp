// The event log and its file, the about window and its signature, the startup window, the
// headless view and the pictures.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "addin_fixture.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "platform/fs.h"
#include "support/statistics.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/headless_view.h"
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

TEST_F(Windows, HeadlessViewDrawsEachControlAgainstTheClientArea) {
  auto& startup = ui::touch<ui::frm_ab>();
  startup.Show();
  EXPECT_EQ(ui::draw(startup),
            "window \"Startup :)\" (shown)\n"
            "  frame: fixed dialog, close box, no minimize or maximize box, not in the taskbar, "
            "icon parvex.ico\n"
            "  client area: 3570 x 2220 twips\n"
            "  Command1: button \"&Continue\" at 1080,1800 size 1335 x 375, tab 1, inside\n"
            "  Label1: label \"Discover business version...\" at 480,1440 size 2535 x 255, "
            "tab 0, inside, font MS Sans Serif 8.25 bold underlined\n"
            "  Image1: picture \"startup.bmp\" at 0,0 size 3600 x 1350, tab none, partly "
            "inside, 240 x 90 pixels\n");

  // Only the log and the unused list show on the zip window; four buttons and the signature
  // box of the about window sit outside it.
  std::string placements;
  for (const ui::Window* w : {static_cast<ui::Window*>(&ui::touch<ui::frm_outlook>()),
                              static_cast<ui::Window*>(&about())}) {
    for (const auto& [name, control] : w->controls()) {
      placements += name + (ui::placement(*w, *control) == ui::Placement::Inside ? "+ " : "- ");
    }
  }
  EXPECT_EQ(placements,
            "lst_files+ cmd_ZIP- txt_zipname- Text1- File1- list_log+ Label1- Label2- "
            "Command4- Text1- Command3- Timer1+ Command2- cmd_email+ cmd_visit+ Command1+ "
            "parvex_chk+ Image2+ Image3+ lbl_Saving+ lbl_totalzip+ lbl_totalbytes+ Label1+ "
            "Image1+ cmd_options+ lbl_policy+ ");
}

// The signature decodes three digits a character, and the readme holds its line alone.
TEST_F(Windows, TheSignatureAndTheReadmeThatHoldsItAlone) {
  EXPECT_EQ(SignatureText(), "This archive was made by Parvex: " + std::string(kProductWebPage));
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
}

// Pixel width and height from a bitmap's info header or a JPEG's frame header.
std::pair<int32_t, int32_t> picture_size(const std::string& bytes) {
  const auto at = [&](size_t i) { return static_cast<int32_t>(static_cast<uint8_t>(bytes.at(i))); };
  if (bytes.rfind("BM", 0) == 0) return {at(18) | at(19) << 8, at(22) | at(23) << 8};
  const size_t frame = bytes.find("\xFF\xC0");
  return {at(frame + 7) << 8 | at(frame + 8), at(frame + 5) << 8 | at(frame + 6)};
}

TEST(Pictures, FilesHaveTheSizesTheWindowsShowThemAt) {
  const ui::frm_about about;
  const ui::frm_ab startup;
  for (const ui::Image* image : {&about.Image1, &about.Image2, &about.Image3, &startup.Image1}) {
    const std::string bytes = read_file(std::string(PARVEX_RESOURCES) + "/" + image->picture);
    EXPECT_EQ(picture_size(bytes), std::make_pair(image->pixel_width, image->pixel_height))
        << image->picture;
    EXPECT_EQ(image->width, image->pixel_width * 15) << image->picture;  // shown at own size
    EXPECT_EQ(image->height, image->pixel_height * 15) << image->picture;
  }
  // The bitmaps' depths (24 and 32 bits) and the 16-colour icon show in their exact lengths.
  for (const auto& [name, length] : {std::pair<std::string, size_t>{"logo.bmp", 89046},
                                     {"startup.bmp", 86454},
                                     {about.icon, 766}}) {
    EXPECT_EQ(read_file(std::string(PARVEX_RESOURCES) + "/" + name).size(), length) << name;
  }
}

}  // namespace
}  // namespace parvex
