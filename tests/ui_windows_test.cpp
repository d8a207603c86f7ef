// The about window, the startup window and the headless view.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compression/signature.h"
#include "core/failure.h"
#include "platform/fs.h"
#include "scripted/scripted_services.h"
#include "support/statistics.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/headless_view.h"
#include "ui/links.h"
#include "ui/log_file.h"

namespace parvex {
namespace {

using testing::read_file;
using testing::write_file;

class Windows : public ::testing::Test {
 protected:
  Windows() { svc.folder = dir.path(); }

  ui::ListBox& log() { return ui::touch<ui::FrmOutlook>().list_log; }
  ui::FrmAbout& about() { return ui::touch<ui::FrmAbout>(); }
  std::string log_file() {
    return fs::is_file(ui::event_log_path()) ? read_file(ui::event_log_path()) : "<none>";
  }
  ShellExecuteArgs opened(std::uintptr_t parent, std::string_view address) const {
    return ShellExecuteArgs{parent, "open", std::string(address), std::nullopt, "", 0};
  }

  testing::TempFolder dir;
  testing::ScriptedServices svc;
  testing::ScopedServices scope{svc};
};

TEST_F(Windows, AboutLoadsStatisticsAndVersionAndUnloadWritesThem) {
  EXPECT_EQ(about().Label1.caption, "Version:1.00");
  EXPECT_EQ(about().lbl_totalbytes.caption, "1 bytes (normal attachments)");
  about().parvex_chk.value = 0;
  about().Command1.click();  // hides; the setting stays
  EXPECT_FALSE(about().visible);
  EXPECT_EQ(about().parvex_chk.value, 0);

  statistics().PendingNormalBytes = 99;
  ui::close<ui::FrmAbout>();
  EXPECT_FALSE(ui::exists<ui::FrmAbout>());
  EXPECT_EQ(read_file(dir / "parvex.log"), " 100 \r\n 1 \r\n");

  write_file(dir / "parvex.log", "5000\r\n2500\r\n");
  EXPECT_EQ(about().parvex_chk.value, 1);
  EXPECT_EQ(about().lbl_Saving.caption, "Saving: 50. % of bandwidth");

  // A close whose statistics cannot be written still closes, and says why.
  fs::make_folder(dir / "parvex.log.tmp");
  EXPECT_THROW(ui::close<ui::FrmAbout>(), Failure);
  EXPECT_FALSE(ui::exists<ui::FrmAbout>());
}

TEST_F(Windows, AboutClicksOpenTheirAddressesWithTheShellsArguments) {
  about().handle = 0x1234;
  about().click();
  about().cmd_visit.click();
  about().cmd_email.click();
  EXPECT_EQ(svc.shell_calls, (std::vector<ShellExecuteArgs>{opened(0x1234, kProductWebPage),
                                                            opened(0x1234, kProductWebPage),
                                                            opened(0x1234, ui::kContactMail)}));

  // The logo saves and clears the event log before the page opens.
  log().AddItem("line");
  std::string file_when_opened;
  int32_t lines_when_opened = -1;
  svc.on_shell_execute = [&] {
    file_when_opened = log_file();
    lines_when_opened = log().ListCount();
  };
  about().Image1.click();
  EXPECT_NE(file_when_opened.find("\r\nline 1 \r\n" + std::string(32, '*')), std::string::npos);
  EXPECT_EQ(lines_when_opened, 0);
  EXPECT_EQ(svc.shell_calls.back(), opened(0x1234, kProductWebPage));
}

TEST_F(Windows, AboutShowsTheZipWindowAndRunsTheSignatureAid) {
  about().Command4.click();
  EXPECT_TRUE(ui::touch<ui::FrmOutlook>().visible);
  about().Command2.click();
  EXPECT_EQ(about().Text1.text, svc.clipboard);
  EXPECT_EQ(decode_digits(about().Text1.text).rfind("...sent using Parvex - ", 0), 0u);
}

TEST_F(Windows, StartupWindowClosesOnEveryPathAndOpensThePageOnThree) {
  using Click = void (*)(ui::FrmAb&);
  const struct {
    const char* name;
    Click click;
    bool opens_page;
  } paths[] = {
      {"line", [](ui::FrmAb& w) { w.Label1.click(); }, true},
      {"logo", [](ui::FrmAb& w) { w.Image1.click(); }, true},
      {"background", [](ui::FrmAb& w) { w.click(); }, true},
      {"continue", [](ui::FrmAb& w) { w.Command1.click(); }, false},
      {"close box", [](ui::FrmAb&) { ui::close<ui::FrmAb>(); }, false},
  };
  for (const auto& p : paths) {
    svc.shell_calls.clear();
    auto& shown = ui::touch<ui::FrmAb>();
    shown.Show();
    ui::touch<ui::FrmAb>().Show();  // showing again shows the one already open
    EXPECT_EQ(&ui::touch<ui::FrmAb>(), &shown) << p.name;
    p.click(shown);
    EXPECT_FALSE(ui::exists<ui::FrmAb>()) << p.name;
    EXPECT_EQ(svc.shell_calls.size(), p.opens_page ? 1u : 0u) << p.name;
  }
}

TEST_F(Windows, HeadlessViewDrawsEachControlAgainstTheClientArea) {
  auto& startup = ui::touch<ui::FrmAb>();
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
  const auto names_at = [](const ui::Window& w, ui::Placement where) {
    std::vector<std::string> names;
    for (const auto& [name, control] : w.controls()) {
      if (ui::placement(w, *control) == where) names.push_back(name);
    }
    return names;
  };
  EXPECT_EQ(names_at(ui::touch<ui::FrmOutlook>(), ui::Placement::Inside),
            (std::vector<std::string>{"lst_files", "list_log"}));
  EXPECT_EQ(names_at(about(), ui::Placement::Outside),
            (std::vector<std::string>{"Command4", "Text1", "Command3", "Command2"}));
  EXPECT_TRUE(names_at(about(), ui::Placement::Partly).empty());

  // Pictures are shown at their own size, 15 twips a pixel.
  for (const ui::Window* w :
       {static_cast<const ui::Window*>(&startup), static_cast<const ui::Window*>(&about())}) {
    for (const auto& [name, control] : w->controls()) {
      if (const auto* image = dynamic_cast<const ui::Image*>(control)) {
        EXPECT_EQ(image->width, image->pixel_width * 15) << name;
        EXPECT_EQ(image->height, image->pixel_height * 15) << name;
      }
    }
  }
}

// Width, height and bits a pixel as the picture file's header gives them.
struct PictureSize {
  int32_t width = 0, height = 0, bits = 0;
  bool operator==(const PictureSize&) const = default;
};

PictureSize picture_size(const std::string& name) {
  const std::string b = read_file(std::string(PARVEX_RESOURCES) + "/" + name);
  const auto u8 = [&](size_t at) { return static_cast<int32_t>(static_cast<uint8_t>(b.at(at))); };
  const auto le = [&](size_t at, int n) {
    int32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | u8(at + static_cast<size_t>(i));
    return v;
  };
  if (b.rfind("BM", 0) == 0) return {le(18, 4), le(22, 4), le(28, 2)};
  if (b.rfind("\xFF\xD8", 0) == 0) {
    for (size_t at = 2; at + 9 < b.size();
         at += 2 + static_cast<size_t>(u8(at + 2) << 8 | u8(at + 3))) {
      if (u8(at + 1) == 0xC0)
        return {u8(at + 7) << 8 | u8(at + 8), u8(at + 5) << 8 | u8(at + 6), 24};
    }
  }
  if (name.ends_with(".ico") && b.size() == 766 && u8(8) == 16) return {u8(6), u8(7), le(12, 2)};
  return {};
}

TEST(Pictures, FilesHaveTheSizesTheWindowsShowThem) {
  const ui::FrmAbout about;
  const ui::FrmAb startup;
  for (const ui::Image* image : {&about.Image1, &about.Image2, &about.Image3, &startup.Image1}) {
    EXPECT_EQ(picture_size(image->picture).width, image->pixel_width) << image->picture;
    EXPECT_EQ(picture_size(image->picture).height, image->pixel_height) << image->picture;
  }
  EXPECT_EQ(picture_size("logo.bmp").bits, 24);
  EXPECT_EQ(picture_size("startup.bmp").bits, 32);
  EXPECT_EQ(picture_size(about.icon), (PictureSize{32, 32, 4}));
}

}  // namespace
}  // namespace parvex
