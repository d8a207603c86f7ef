// The Win32 views in a real window system (wine and Xvfb on Linux): each window against its
// layout at the screen's dots per inch, the tab order, the closing paths and the keyboard, all
// through the thread's keyboard hook as inside a host's message loop. With PARVEX_SCREENS set
// to a folder, the layout test also saves a PNG screenshot of each window there.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "scripted/scripted_services.h"
#include "text_win32.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "views/views.h"

namespace parvex {
namespace {

// Under wine without an X display no window can be shown; Windows always has a desktop.
bool has_display() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  return !wine || GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) > 0;
}

struct WindowClass {
  const char* name;
  ui::Window& (*touch)();
  bool (*exists)();
};
template <class W>
ui::Window& touch_window() {
  return ui::touch<W>();
}
const WindowClass kWindows[] = {
    {"frm_outlook", touch_window<ui::FrmOutlook>, ui::exists<ui::FrmOutlook>},
    {"frm_about", touch_window<ui::FrmAbout>, ui::exists<ui::FrmAbout>},
    {"frm_ab", touch_window<ui::FrmAb>, ui::exists<ui::FrmAb>},
};

bool focusable(ui::ControlKind kind) {
  return kind != ui::ControlKind::Label && kind != ui::ControlKind::Image &&
         kind != ui::ControlKind::Timer;
}

// Filter byte 0 and RGB rows, deflated; chunks with their CRCs.
void write_png(const std::string& path, int width, int height, const std::vector<uint32_t>& bgra) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back('\0');
    for (int x = 0; x < width; ++x) {
      const uint32_t p = bgra[static_cast<size_t>(y) * width + x];
      raw += {static_cast<char>(p >> 16), static_cast<char>(p >> 8), static_cast<char>(p)};
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packed_size, '\0');
  ASSERT_EQ(
      compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 9),
      Z_OK);
  packed.resize(packed_size);
  const auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  std::string png = "\x89PNG\r\n\x1a\n";
  const auto chunk = [&](const char* type, const std::string& data) {
    const std::string body = type + data;
    png +=
        be32(static_cast<uint32_t>(data.size())) + body +
        be32(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  };
  chunk("IHDR", be32(width) + be32(height) + std::string{8, 2, 0, 0, 0});
  chunk("IDAT", packed);
  chunk("IEND", "");
  std::ofstream(path, std::ios::binary) << png;
}

// The whole window, frame included, as drawn into its own surface.
void save_screenshot(HWND window, const std::string& path) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT frame;
  GetWindowRect(window, &frame);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC source = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(source);
  HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_TRUE(dib);
  const HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
  GdiFlush();
  const auto* pixels = static_cast<const uint32_t*>(bits);
  write_png(path, width, height, std::vector<uint32_t>(pixels, pixels + width * height));
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(window, source);
}

class Win32Views : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!has_display()) GTEST_SKIP() << "no display (run under xvfb-run)";
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    svc.folder = dir.path();
    views::start(GetModuleHandleW(nullptr));
    HDC screen = GetDC(nullptr);
    dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    // The prefix was set up for this many dots per inch: make sure the setting took.
    if (const char* expected = std::getenv("PARVEX_EXPECT_DPI")) {
      ASSERT_EQ(dpi, std::atoi(expected));
    }
  }
  void TearDown() override {
    views::stop();
    if (com_) CoUninitialize();
  }

  // What the host's message loop does, with our hook seeing every message it takes.
  static void pump() {
    for (int round = 0; round < 3; ++round) {
      views::sync();
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  static void press(HWND target, WPARAM key) {
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    pump();
  }
  static void type(HWND target, wchar_t c) {
    PostMessageW(target, WM_CHAR, c, 1);
    pump();
  }

  HWND show(const WindowClass& w) {
    ui::Window& model = w.touch();
    model.Show();
    pump();
    return reinterpret_cast<HWND>(model.handle);
  }
  int px(int32_t twips) const { return MulDiv(twips, dpi, 1440); }
  static HWND child(HWND dialog, size_t index) {
    return GetDlgItem(dialog, views::kFirstControlId + static_cast<int>(index));
  }
  static HWND child(HWND dialog, const ui::Window& model, const ui::Control& control) {
    const auto& controls = model.controls();
    for (size_t i = 0; i < controls.size(); ++i) {
      if (controls[i].control == &control) return child(dialog, i);
    }
    return nullptr;
  }
  static int index_of(HWND dialog, HWND control) {
    return control && GetParent(control) == dialog ? GetDlgCtrlID(control) - views::kFirstControlId
                                                   : -1;
  }

  int dpi = 96;
  testing::TempFolder dir;
  testing::ScriptedServices svc;
  testing::ScopedServices scope{svc};

 private:
  bool com_ = false;
};

TEST_F(Win32Views, EachWindowMatchesItsLayout) {
  // Something to show: a line in the event log, statistics in the about window.
  LogEvent("Addin init");
  testing::write_file(dir / "parvex.log", "7340032\r\n2621440\r\n");
  const char* screens = std::getenv("PARVEX_SCREENS");
  for (const auto& w : kWindows) {
    SCOPED_TRACE(w.name);
    const HWND dialog = show(w);
    ASSERT_TRUE(IsWindow(dialog));
    ASSERT_TRUE(IsWindowVisible(dialog));
    const ui::Window& model = w.touch();

    wchar_t caption[256];
    GetWindowTextW(dialog, caption, 256);
    EXPECT_EQ(win::narrow(caption), model.caption);
    const auto style = GetWindowLongPtrW(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    // Out of the taskbar: owned, and not asking for a button.
    EXPECT_EQ(GetWindow(dialog, GW_OWNER) == nullptr, model.in_taskbar);

    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, px(model.client_width));
    EXPECT_EQ(client.bottom, px(model.client_height));
    RECT frame, area;
    GetWindowRect(dialog, &frame);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    EXPECT_NEAR(frame.left - area.left, area.right - frame.right, 1);
    EXPECT_NEAR(frame.top - area.top, area.bottom - frame.bottom, 1);

    const auto& controls = model.controls();
    for (size_t i = 0; i < controls.size(); ++i) {
      const ui::Control& c = *controls[i].control;
      SCOPED_TRACE(controls[i].name);
      const HWND control = child(dialog, i);
      if (c.kind() == ui::ControlKind::Timer) {
        EXPECT_FALSE(control);
        continue;
      }
      ASSERT_TRUE(control);
      EXPECT_TRUE(IsWindowVisible(control));
      RECT r;
      GetWindowRect(control, &r);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
      EXPECT_EQ(r.left, px(c.left));
      EXPECT_EQ(r.top, px(c.top));
      EXPECT_EQ(r.right, px(c.left + c.width));
      EXPECT_EQ(r.bottom, px(c.top + c.height));
      if (c.kind() != ui::ControlKind::Image && c.kind() != ui::ControlKind::FileListBox) {
        wchar_t text[256];
        GetWindowTextW(control, text, 256);
        EXPECT_EQ(win::narrow(text), c.display_text());
      }
      if (c.kind() == ui::ControlKind::Label) {
        const auto& font = static_cast<const ui::Label&>(c).font;
        LOGFONTW drawn{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof drawn,
                   &drawn);
        EXPECT_EQ(win::narrow(drawn.lfFaceName), font.name);
        EXPECT_EQ(drawn.lfWeight >= FW_BOLD, font.bold);
        EXPECT_EQ(drawn.lfUnderline != 0, font.underline);
        // The caption is not cut off: wrapped at the label's width it fits its height.
        HDC dc = GetDC(control);
        const HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
        const std::wstring text = win::widen(c.display_text());
        RECT needed{0, 0, r.right - r.left, 0};
        DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
        SelectObject(dc, old);
        ReleaseDC(control, dc);
        EXPECT_LE(needed.bottom, r.bottom - r.top) << win::narrow(text);
      }
    }
    if (screens) {
      save_screenshot(dialog,
                      std::string(screens) + "/" + w.name + "-" + std::to_string(dpi) + "dpi.png");
    }
  }
}

TEST_F(Win32Views, TabWalksTheTabOrderAcrossTheWholeLayout) {
  for (const auto& w : kWindows) {
    SCOPED_TRACE(w.name);
    const HWND dialog = show(w);
    const auto& controls = w.touch().controls();
    std::vector<size_t> order;
    for (size_t i = 0; i < controls.size(); ++i) {
      if (controls[i].control->tab_index && focusable(controls[i].control->kind())) {
        order.push_back(i);
      }
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return *controls[a].control->tab_index < *controls[b].control->tab_index;
    });
    ASSERT_FALSE(order.empty());
    // Showing the window puts the focus on the first tab stop.
    ASSERT_EQ(index_of(dialog, GetFocus()), static_cast<int>(order[0]));
    for (size_t step = 1; step <= order.size(); ++step) {
      press(GetFocus(), VK_TAB);
      EXPECT_EQ(index_of(dialog, GetFocus()), static_cast<int>(order[step % order.size()]))
          << "after " << step << " TAB";
    }
    w.touch().Hide();
    pump();
  }
}

TEST_F(Win32Views, EscAndTheCloseBoxRunTheCloseHandler) {
  for (const bool close_box : {false, true}) {
    for (const auto& w : kWindows) {
      SCOPED_TRACE(std::string(w.name) + (close_box ? " close box" : " Esc"));
      const HWND dialog = show(w);
      if (close_box) {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        pump();
      } else {
        press(GetFocus(), VK_ESCAPE);
      }
      EXPECT_FALSE(w.exists());
      EXPECT_FALSE(IsWindow(dialog));
    }
    // The about window's close handler writes the statistics.
    EXPECT_TRUE(fs::is_file(dir / "parvex.log"));
    fs::delete_file(dir / "parvex.log");
  }
}

TEST_F(Win32Views, CheckBoxAndCommand1WorkFromTheKeyboard) {
  auto& about = ui::touch<ui::FrmAbout>();
  HWND dialog = show(kWindows[1]);
  const HWND check = child(dialog, about, about.parvex_chk);
  SetFocus(check);
  press(check, VK_SPACE);
  EXPECT_EQ(about.parvex_chk.value, 0);
  EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  // H is Command1's access key: it hides the window, which keeps its setting.
  type(GetFocus(), L'h');
  EXPECT_TRUE(ui::exists<ui::FrmAbout>());
  EXPECT_FALSE(about.visible);
  EXPECT_FALSE(IsWindowVisible(dialog));
  about.Show();
  pump();
  EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SetFocus(child(dialog, about, about.Command1));
  press(GetFocus(), VK_RETURN);
  EXPECT_FALSE(IsWindowVisible(dialog));

  // The startup window's first tab stop is "&Continue"; space presses it and closes the window.
  dialog = show(kWindows[2]);
  auto& startup = ui::touch<ui::FrmAb>();
  ASSERT_EQ(GetFocus(), child(dialog, startup, startup.Command1));
  press(GetFocus(), VK_SPACE);
  EXPECT_FALSE(ui::exists<ui::FrmAb>());
  EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(Win32Views, ZipWindowShowsTheLogAndItsHiddenButtonWorks) {
  auto& zip = ui::touch<ui::FrmOutlook>();
  const HWND dialog = show(kWindows[0]);
  const HWND log = child(dialog, zip, zip.list_log);
  zip.list_log.AddItem("first");
  zip.list_log.AddItem("second");
  pump();
  ASSERT_EQ(SendMessageW(log, LB_GETCOUNT, 0, 0), 2);
  wchar_t line[64];
  SendMessageW(log, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(line));
  EXPECT_EQ(win::narrow(line), "second");

  // cmd_ZIP lies below the client area; from the keyboard it runs the zip action, which fails
  // here (no working folder), and the click reports it in the log and in a message box.
  SetFocus(child(dialog, zip, zip.cmd_ZIP));
  press(GetFocus(), VK_SPACE);
  EXPECT_EQ(svc.message_boxes.size(), 1u);
  ASSERT_EQ(zip.list_log.ListCount(), 3);
  EXPECT_EQ(SendMessageW(log, LB_GETCOUNT, 0, 0), 3);

  zip.list_log.Clear();
  zip.list_log.AddItem("after clear");
  pump();
  EXPECT_EQ(SendMessageW(log, LB_GETCOUNT, 0, 0), 1);

  // File1 shows the listing the model took of its folder.
  testing::write_file(dir / "b.txt", "b");
  testing::write_file(dir / "a.txt", "a");
  zip.File1.set_path(dir.path());
  pump();
  const HWND files = child(dialog, zip, zip.File1);
  ASSERT_EQ(SendMessageW(files, LB_GETCOUNT, 0, 0), zip.File1.ListCount());
  SendMessageW(files, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(line));
  EXPECT_EQ(win::narrow(line), zip.File1.List(0));

  // Disconnection: the windows go, the models stay and know it.
  views::stop();
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(zip.handle, 0u);
  EXPECT_EQ(zip.list_log.ListCount(), 1);
}

TEST_F(Win32Views, MouseClicksGoToTheModels) {
  auto& about = ui::touch<ui::FrmAbout>();
  HWND dialog = show(kWindows[1]);
  const auto click = [](HWND target, int x, int y) {
    PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    pump();
  };
  click(child(dialog, about, about.parvex_chk), 4, 4);
  EXPECT_EQ(about.parvex_chk.value, 0);
  // The background opens the web page with this window as the parent.
  click(dialog, px(5600), px(100));
  ASSERT_EQ(svc.shell_calls.size(), 1u);
  EXPECT_EQ(svc.shell_calls[0].parent, reinterpret_cast<std::uintptr_t>(dialog));
  EXPECT_TRUE(IsWindowVisible(dialog));

  // The startup window's line opens the page and closes the window.
  auto& startup = ui::touch<ui::FrmAb>();
  dialog = show(kWindows[2]);
  click(child(dialog, startup, startup.Label1), 4, 4);
  ASSERT_EQ(svc.shell_calls.size(), 2u);
  EXPECT_EQ(svc.shell_calls[1].parent, reinterpret_cast<std::uintptr_t>(dialog));
  EXPECT_FALSE(ui::exists<ui::FrmAb>());
  EXPECT_FALSE(IsWindow(dialog));
}

}  // namespace
}  // namespace parvex
