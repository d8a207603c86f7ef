// The Win32 views in a real window system (wine and Xvfb on Linux): each window against its
// layout at the screen's dots per inch, the tab order, the closing paths and the keyboard, all
// through the thread's keyboard hook as inside a host's message loop. With PARVEX_SCREENS set
// to a folder, each window is also saved there as a PNG screenshot: the README's pictures,
// which the test command compares with what this build draws.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <commctrl.h>
#include <gdiplus.h>  // after windows.h and objbase.h, which it needs

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "scripted/scripted_services.h"
#include "seams/services.h"
#include "text_win32.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_options.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"
#include "views/views.h"
#include "win32_handles.h"

namespace parvex {
namespace {

// What Esc and the close box do to a window.
enum class Closing { esc_hides, closes, cancels_send };
struct WindowClass {
  const char* name;
  ui::Window& (*touch)();
  bool (*exists)();
  Closing closing;
};
template <class W>
ui::Window& touch_window() {
  return ui::touch<W>();
}
// The progress window part-way through a send.
ui::Window& touch_progress() {
  const bool fresh = !ui::exists<ui::frm_progress>();
  auto& window = ui::touch<ui::frm_progress>();
  if (fresh) {
    window.begin("Quarterly report", {"cmake", "GPL-3"}, {9245840, 35149});
    window.show_step(0, 4000000);
  }
  return window;
}
const WindowClass kWindows[] = {
    {"frm_outlook", touch_window<ui::frm_outlook>, ui::exists<ui::frm_outlook>, Closing::esc_hides},
    {"frm_about", touch_window<ui::frm_about>, ui::exists<ui::frm_about>, Closing::esc_hides},
    {"frm_ab", touch_window<ui::frm_ab>, ui::exists<ui::frm_ab>, Closing::closes},
    {"frm_options", touch_window<ui::frm_options>, ui::exists<ui::frm_options>, Closing::closes},
    {"frm_progress", touch_progress, ui::exists<ui::frm_progress>, Closing::cancels_send},
};

// The whole window, frame included, as drawn into its own surface, saved as a PNG by GDI+.
void save_screenshot(HWND window, const std::string& path) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT frame;
  GetWindowRect(window, &frame);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  const pvx::win::window_dc source(window, true);
  const pvx::win::unique_hdc memory(CreateCompatibleDC(source.get()));
  const pvx::win::unique_gdi<HBITMAP> bitmap(CreateCompatibleBitmap(source.get(), width, height));
  ASSERT_TRUE(bitmap);
  const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  BitBlt(memory.get(), 0, 0, width, height, source.get(), 0, 0, SRCCOPY);
  SelectObject(memory.get(), old);
  const Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
  CLSID png;  // GDI+'s own PNG encoder
  CLSIDFromString(L"{557CF406-1A04-11D3-9A73-0000F81EF32E}", &png);
  EXPECT_EQ(Gdiplus::Bitmap(bitmap.get(), nullptr).Save(win::widen(path).c_str(), &png, nullptr),
            Gdiplus::Ok);
  Gdiplus::GdiplusShutdown(token);
}

class Win32Views : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::no_display()) GTEST_SKIP() << "no display (run under xvfb-run)";
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    svc.folder = dir.path();
    views::start(GetModuleHandleW(nullptr));
    dpi = GetDeviceCaps(pvx::win::window_dc(nullptr).get(), LOGPIXELSX);
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
  static void click(HWND target, int x = 4, int y = 4) {
    PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    pump();
  }
  static std::string text_of(HWND window) {
    wchar_t text[256];
    GetWindowTextW(window, text, 256);
    return win::narrow(text);
  }

  HWND show(const WindowClass& w) {
    ui::Window& model = w.touch();
    model.Show();
    pump();
    return reinterpret_cast<HWND>(model.handle);
  }
  LONG px(int32_t twips) const { return MulDiv(twips, dpi, 1440); }
  static HWND child(HWND dialog, size_t index) {
    return GetDlgItem(dialog, views::kFirstControlId + static_cast<int>(index));
  }
  static HWND child(HWND dialog, const ui::Window& model, const ui::Control& control) {
    const auto& c = model.controls();
    size_t i = 0;
    while (i < c.size() && c[i].control != &control) ++i;
    return child(dialog, i);  // none past the end
  }

  // Saves the window as NAME-<dpi>dpi.png when PARVEX_SCREENS names a folder.
  void snap(HWND window, const std::string& name) const {
    if (const char* screens = std::getenv("PARVEX_SCREENS")) {
      save_screenshot(window,
                      std::string(screens) + "/" + name + "-" + std::to_string(dpi) + "dpi.png");
    }
  }

  int dpi = 96;
  testing::TempFolder dir;
  testing::ScriptedServices svc;
  testing::ScopedServices scope{svc};

 private:
  bool com_ = false;
};

TEST_F(Win32Views, EachWindowMatchesItsLayoutAndTabOrder) {
  // Something to show: a line in the event log, statistics in the about window.
  LogEvent("Addin init");
  testing::write_file(dir / "parvex.log", "7340032\r\n2621440\r\n");
  for (const auto& w : kWindows) {
    SCOPED_TRACE(w.name);
    const HWND dialog = show(w);
    ASSERT_TRUE(IsWindowVisible(dialog));
    const ui::Window& model = w.touch();

    EXPECT_EQ(text_of(dialog), model.caption);
    const auto style = GetWindowLongPtrW(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    // Out of the taskbar: owned, and not asking for a button.
    EXPECT_EQ(GetWindow(dialog, GW_OWNER) == nullptr, model.in_taskbar);

    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, px(model.client_width));
    EXPECT_EQ(client.bottom, px(model.client_height));

    const auto& controls = model.controls();
    std::vector<std::pair<int32_t, size_t>> order;  // the tab stops: tab index, control
    for (size_t i = 0; i < controls.size(); ++i) {
      const ui::Control& c = *controls[i].control;
      SCOPED_TRACE(controls[i].name);
      const HWND control = child(dialog, i);
      if (c.kind() == ui::ControlKind::Timer) {
        EXPECT_FALSE(control);
        continue;
      }
      if (c.tab_index && c.kind() != ui::ControlKind::Label && c.kind() != ui::ControlKind::Image) {
        order.emplace_back(*c.tab_index, i);
      }
      ASSERT_TRUE(control);
      EXPECT_EQ(IsWindowVisible(control) != FALSE, c.visible);
      RECT r;
      GetWindowRect(control, &r);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
      EXPECT_EQ((std::array{r.left, r.top, r.right, r.bottom}),
                (std::array{px(c.left), px(c.top), px(c.left + c.width), px(c.top + c.height)}));
      if (c.kind() != ui::ControlKind::Image && c.kind() != ui::ControlKind::FileListBox) {
        EXPECT_EQ(text_of(control), c.display_text());
      }
      if (c.kind() == ui::ControlKind::ProgressBar) {
        const auto& bar = static_cast<const ui::ProgressBar&>(c);
        EXPECT_EQ(SendMessageW(control, PBM_GETPOS, 0, 0), bar.value);
        EXPECT_EQ(SendMessageW(control, PBM_GETRANGE, FALSE, 0), bar.max);
      }
      if (c.kind() == ui::ControlKind::Label) {
        const auto hfont = reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0));
        // The caption is not cut off: wrapped at the label's width it fits its height.
        const pvx::win::window_dc dc(control);
        const HGDIOBJ old = SelectObject(dc.get(), hfont);
        const std::wstring text = win::widen(c.display_text());
        RECT needed{0, 0, r.right - r.left, 0};
        DrawTextW(dc.get(), text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
        SelectObject(dc.get(), old);
        EXPECT_LE(needed.bottom, r.bottom - r.top) << win::narrow(text);
      }
    }
    snap(dialog, w.name);

    std::sort(order.begin(), order.end());
    ASSERT_FALSE(order.empty());
    // Showing the window puts the focus on the first tab stop; TAB walks the order round.
    for (size_t step = 0; step <= order.size(); ++step) {
      if (step > 0) press(GetFocus(), VK_TAB);
      const size_t want = order[step % order.size()].second;
      EXPECT_EQ(GetFocus(), child(dialog, want))
          << controls[want].name << " after " << step << " TAB";
    }
    w.touch().Hide();
    pump();
  }
}

// Esc hides the zip and about windows, which hold the event log and the setting, and closes
// the startup and options windows (Esc is the options window's Cancel); the close box closes each
// but the progress window, where both are its Cancel and the send closes it.
TEST_F(Win32Views, EscHidesWhatHoldsStateAndTheCloseBoxCloses) {
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
      const bool cancels = w.closing == Closing::cancels_send;
      const bool kept = cancels || (!close_box && w.closing == Closing::esc_hides);
      EXPECT_EQ(w.exists(), kept);
      EXPECT_EQ(IsWindow(dialog) != FALSE, kept);
      EXPECT_EQ(IsWindowVisible(dialog) != FALSE, cancels);
      if (cancels) {
        EXPECT_TRUE(ui::touch<ui::frm_progress>().cancelled);
        ui::unload<ui::frm_progress>();
      }
    }
  }
}

// With no taskbar button, showing a window again is the only way back to it when it lies
// behind another.
TEST_F(Win32Views, ShowingAnOpenWindowBringsItForward) {
  const HWND about = show(kWindows[1]);
  const HWND startup = show(kWindows[2]);
  ASSERT_EQ(GetForegroundWindow(), startup);
  ui::touch<ui::frm_about>().Show();
  pump();
  EXPECT_EQ(GetForegroundWindow(), about);
  EXPECT_EQ(GetActiveWindow(), about);
}

// Settings an administrator fixed: the real controls are disabled as their models are, and the
// label saying so shows in both windows that hold them.
TEST_F(Win32Views, FixedSettingsShowDisabled) {
  svc.policies = dir / "policies.ini";
  testing::write_file(svc.policies, "Compression=0\r\nAskPassword=1\r\nMinSaving=50\r\n");
  for (const auto& w : {kWindows[1], kWindows[3]}) {
    SCOPED_TRACE(w.name);
    const HWND dialog = show(w);
    const auto& controls = w.touch().controls();
    int disabled = 0;
    for (size_t i = 0; i < controls.size(); ++i) {
      const ui::Control& c = *controls[i].control;
      const HWND control = child(dialog, i);
      if (!control) continue;
      SCOPED_TRACE(controls[i].name);
      EXPECT_EQ(IsWindowEnabled(control) != FALSE, c.enabled);
      EXPECT_EQ(IsWindowVisible(control) != FALSE, c.visible);
      disabled += !c.enabled;
      if (controls[i].name == std::string("lbl_policy")) {
        EXPECT_TRUE(IsWindowVisible(control));
        EXPECT_EQ(text_of(control), "Set by your administrator");
        // Drawn over a picture or a control, it would hide part of it.
        RECT own, other, common;
        GetWindowRect(control, &own);
        for (HWND sibling = GetWindow(dialog, GW_CHILD); sibling;
             sibling = GetWindow(sibling, GW_HWNDNEXT)) {
          GetWindowRect(sibling, &other);
          EXPECT_FALSE(sibling != control && IsWindowVisible(sibling) &&
                       IntersectRect(&common, &own, &other))
              << text_of(sibling);
        }
      }
    }
    EXPECT_GT(disabled, 0);
    snap(dialog, std::string(w.name) + "-policy");
  }
}

// The Windows password box, as a send asks for it: both fields show what is typed as dots,
// and closing the box is a Cancel that keeps nothing, never a send in the clear.
struct PasswordBoxVisit {
  std::function<void(HWND)> on_box;
  HWND box = nullptr;
};
PasswordBoxVisit visit;
// Runs inside the box's own modal loop: the first tick that finds it active hands it over.
void CALLBACK find_password_box(HWND, UINT, UINT_PTR, DWORD) {
  const HWND active = GetActiveWindow();
  if (visit.box || !active) return;
  visit.box = active;
  visit.on_box(active);
}

TEST_F(Win32Views, PasswordBoxHidesWhatIsTypedAndClosingCancels) {
  int edits = 0, hidden = 0;
  visit = {[&](HWND box) {
             for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
               wchar_t cls[16];
               GetClassNameW(c, cls, 16);
               if (lstrcmpiW(cls, L"Edit") != 0) continue;
               ++edits;
               hidden += SendMessageW(c, EM_GETPASSWORDCHAR, 0, 0) != 0;
               SetWindowTextW(c, L"s3cret");
             }
             snap(box, "password_box");
             PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
           },
           nullptr};
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, find_password_box);
  const auto answer = make_native_services()->password_box(
      "Password for the attachments of Quarterly report", "Parvex");
  KillTimer(nullptr, timer);
  ASSERT_TRUE(visit.box);
  EXPECT_EQ(edits, 2);
  EXPECT_EQ(hidden, 2);
  EXPECT_EQ(answer.choice, PasswordAnswer::Choice::cancel);
  EXPECT_TRUE(answer.password.empty());
}

TEST_F(Win32Views, KeysAndClicksReachTheModels) {
  auto& about = ui::touch<ui::frm_about>();
  HWND dialog = show(kWindows[1]);
  const HWND check = child(dialog, about, about.parvex_chk);
  SetFocus(check);
  press(check, VK_SPACE);
  EXPECT_EQ(about.parvex_chk.value, 0);
  // H is Command1's access key: it hides the window, which keeps its setting.
  PostMessageW(GetFocus(), WM_CHAR, L'h', 1);
  pump();
  EXPECT_TRUE(ui::exists<ui::frm_about>());
  EXPECT_FALSE(IsWindowVisible(dialog));
  about.Show();
  pump();
  click(check);
  EXPECT_EQ(about.parvex_chk.value, 1);
  // The background opens the web page with this window as the parent.
  click(dialog, px(5600), px(100));
  ASSERT_EQ(svc.shell_calls.size(), 1u);
  EXPECT_EQ(svc.shell_calls[0].parent, reinterpret_cast<std::uintptr_t>(dialog));
  EXPECT_TRUE(IsWindowVisible(dialog));
  SetFocus(child(dialog, about, about.Command1));
  press(GetFocus(), VK_RETURN);
  EXPECT_FALSE(IsWindowVisible(dialog));

  // The startup window closes from its first tab stop, "&Continue", pressed by space, and from a
  // click on its line, which opens the page.
  for (const bool by_click : {false, true}) {
    SCOPED_TRACE(by_click ? "click" : "space");
    auto& startup = ui::touch<ui::frm_ab>();
    dialog = show(kWindows[2]);
    if (by_click)
      click(child(dialog, startup, startup.Label1));
    else
      press(GetFocus(), VK_SPACE);
    EXPECT_EQ(svc.shell_calls.size(), by_click ? 2u : 1u);
    EXPECT_FALSE(ui::exists<ui::frm_ab>());
    EXPECT_FALSE(IsWindow(dialog));
  }
}

TEST_F(Win32Views, ZipWindowShowsTheLogAndItsHiddenButtonWorks) {
  auto& zip = ui::touch<ui::frm_outlook>();
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
  EXPECT_EQ(SendMessageW(log, LB_GETCOUNT, 0, 0), 3);

  // A clear and an appended line are drawn by the message the append posts, not at the next
  // timer tick.
  zip.list_log.Clear();
  zip.list_log.AddItem("after clear");
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
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
  ASSERT_TRUE(ui::exists<ui::frm_outlook>());
  EXPECT_EQ(zip.handle, 0u);
}

}  // namespace
}  // namespace parvex
