#include "views/views.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "boundary.h"
#include "core/failure.h"
#include "seams/services.h"
#include "text_win32.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"
#include "views/options_view.h"
#include "views/pictures.h"
#include "win32_handles.h"

namespace parvex::views {
namespace {

using pvx::win::unique_hwnd;
using unique_hhook = pvx::unique_any<HHOOK, &::UnhookWindowsHookEx>;

constexpr UINT kSyncMessage = WM_APP + 1;
constexpr UINT_PTR kSyncTimer = 1;
// How soon a change the models make on their own (a label caption, a shown window) is drawn.
// Log lines do not wait for it: an appended line asks for a sync at once.
constexpr UINT kSyncPeriodMs = 100;
constexpr wchar_t kHostClass[] = L"ParvexViewHost";
constexpr int kTwipsPerInch = 1440;

// What the views need to know of each window class.
struct ModelClass {
  ui::Window* (*find)();  // the instance if it exists; never creates one
  void (*close)();        // a close request, as the close box makes it
  int background;         // system colour of the client area
  // Esc hides the window instead of closing it: closing throws away what it holds (the event
  // log, the enable setting), which only the close box should do.
  bool esc_hides;
  // Shown over the window the user works in (the host's), not in the middle of the screen.
  bool over_active = false;
};

template <class W>
ui::Window* find_model() {
  return ui::exists<W>() ? &ui::touch<W>() : nullptr;
}
template <class W>
void close_model() {
  ui::close<W>(ui::kCloseBox);
}

// The zip and options windows keep the dialog face colour; the other two use the window colour.
const std::array<ModelClass, 5> kClasses{{
    {find_model<ui::frm_outlook>, close_model<ui::frm_outlook>, COLOR_BTNFACE, true},
    {find_model<ui::frm_about>, close_model<ui::frm_about>, COLOR_WINDOW, true},
    {find_model<ui::frm_ab>, close_model<ui::frm_ab>, COLOR_WINDOW, false},
    // Esc is the options window's Cancel: nothing it holds is lost by closing.
    {options_view::find, options_view::close, options_view::kBackground, false},
    // Its close box and Esc are its Cancel; the send closes it.
    {find_model<ui::frm_progress>, close_model<ui::frm_progress>, COLOR_BTNFACE, false, true},
}};

// "MS Sans Serif" is a bitmap font on Windows, made for 96 dots per inch: at other settings it
// does not scale. Windows maps it to its TrueType successor for dialogs; so do we.
std::wstring scalable_face(const std::string& name) {
  return win::widen(name == "MS Sans Serif" ? "Microsoft Sans Serif" : name);
}

class View;

struct Host {
  HINSTANCE instance = nullptr;
  unique_hwnd owner;  // hidden: owns the windows kept out of the taskbar, and gets the timer
  unique_hhook hook;
  std::array<std::unique_ptr<View>, kClasses.size()> views;  // destroyed before the owner
  bool syncing = false;
  bool sync_posted = false;
};

// A plain pointer, so that no thread-exit destructor runs inside the host: stop() frees it.
thread_local Host* host = nullptr;
// Threads with the views started: hooks, timers and window procedures of this module run there.
std::atomic<long> live_hosts{0};

void request_sync() {
  if (host && host->owner && !host->sync_posted) {
    host->sync_posted = PostMessageW(host->owner.get(), kSyncMessage, 0, 0) != FALSE;
  }
}

// Runs a model's handler for a window event. A failure has no caller to go back to from
// there, so the user is told, as for any error the add-in did not handle.
template <class Handler>
void run_handler(Handler&& handler) {
  report_failure(handler, [](const Failure& failure) {
    attempt([&] {
      services().message_box(failure.description(), MsgButtons::Ok, MsgIcon::Critical, "");
    });
  });
  request_sync();
}

// Finds the model still drawn by dialog and hands it to action. Views are destroyed only by
// a sync, which may run inside a handler (a message box pumps messages): so the forwarding
// functions below never touch a View.
template <class Action>
void forward(size_t class_index, HWND dialog, Action&& action) {
  run_handler([&] {
    ui::Window* model = kClasses[class_index].find();
    if (model && model->handle == reinterpret_cast<std::uintptr_t>(dialog)) action(*model);
  });
}

template <class Action>
void forward_to_control(size_t class_index, HWND dialog, size_t index, ui::ControlKind kind,
                        Action&& action) {
  forward(class_index, dialog, [&](ui::Window& model) {
    const auto& entries = model.controls();
    if (index < entries.size() && entries[index].control->kind() == kind) {
      action(*entries[index].control);
    }
  });
}

std::wstring window_text(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

struct ControlView {
  ui::ControlKind kind = ui::ControlKind::Timer;
  HWND hwnd = nullptr;  // a child of the dialog, destroyed with it; none for a timer
  std::wstring text;
  bool visible = false;
  bool enabled = true;
  int16_t value = -1;
  int32_t position = -1, range = -1;  // a progress bar's
  std::vector<std::string> items;     // a file list's, as drawn
  // A list box's lines drawn, and the model's counters when they were drawn.
  size_t lines = 0;
  uint64_t clears = 0, dropped = 0;
  unique_hbitmap picture;
  int picture_width = 0, picture_height = 0;  // device pixels
};

class View {
 public:
  View(size_t class_index, ui::Window& model);
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View();

  HWND hwnd() const { return dialog_.get(); }
  bool draws(const ui::Window& model) const {
    return model_ == &model && model.handle == reinterpret_cast<std::uintptr_t>(hwnd()) &&
           IsWindow(hwnd());
  }
  void draw(ui::Window& model);
  INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  int x_pixels(int32_t twips) const { return MulDiv(twips, dpi_x_, kTwipsPerInch); }
  int y_pixels(int32_t twips) const { return MulDiv(twips, dpi_y_, kTwipsPerInch); }
  HBRUSH background() const { return GetSysColorBrush(kClasses[class_index_].background); }
  HFONT font_for(const ui::Font& font);
  void create_controls(ui::Window& model);
  void draw_control(ControlView& view, const ui::Control& control);
  void draw_items(ControlView& view, const std::vector<std::string>& items);
  void draw_lines(ControlView& view, const ui::ListBox& list);
  void centre();
  INT_PTR command(WORD id, WORD code, HWND child);
  INT_PTR draw_picture(const DRAWITEMSTRUCT& item);

  size_t class_index_;
  const ui::Window* model_;
  int dpi_x_ = 96, dpi_y_ = 96;
  std::vector<ControlView> controls_;  // parallel to the model's controls()
  std::vector<std::pair<std::wstring, unique_hfont>> fonts_;
  unique_hicon big_icon_, small_icon_;
  std::wstring caption_;
  uint32_t show_requests_ = 0;
  bool shown_once_ = false;
  bool mouse_down_ = false;
  unique_hwnd dialog_;  // last: destroyed before the fonts, icons and pictures it uses
};

View::View(size_t class_index, ui::Window& model) : class_index_(class_index), model_(&model) {
  if (const pvx::win::window_dc screen(nullptr); screen) {
    dpi_x_ = GetDeviceCaps(screen.get(), LOGPIXELSX);
    dpi_y_ = GetDeviceCaps(screen.get(), LOGPIXELSY);
  }
  // Fixed dialog frame, close box, no minimize or maximize box; an empty in-memory template.
  struct alignas(4) Template {
    DLGTEMPLATE dialog;
    WORD menu, window_class, title;
  } tpl{};
  tpl.dialog.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN;
  tpl.dialog.dwExtendedStyle = model.in_taskbar ? WS_EX_APPWINDOW : 0;
  // An unowned window gets a taskbar button; one owned by our hidden window does not. One shown
  // for a host's window (the message being packed) is owned by it, and stays above it.
  HWND owner = model.in_taskbar ? nullptr : host->owner.get();
  if (const auto host_window = reinterpret_cast<HWND>(model.owner);
      host_window && IsWindow(host_window))
    owner = host_window;
  dialog_.reset(CreateDialogIndirectParamW(host->instance, &tpl.dialog, owner, dialog_proc,
                                           reinterpret_cast<LPARAM>(this)));
  if (!dialog_) {
    raise(static_cast<int32_t>(GetLastError()), "Cannot create the window " + model.caption);
  }

  // Size the frame so that the client area comes out right, whatever the frame metrics.
  const int width = x_pixels(model.client_width), height = y_pixels(model.client_height);
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_EXSTYLE)));
  for (int attempt = 0; attempt < 2; ++attempt) {
    SetWindowPos(hwnd(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(hwnd(), &client);
    frame.right += width - client.right;
    frame.bottom += height - client.bottom;
  }

  big_icon_ = load_icon(host->instance, model.icon, GetSystemMetrics(SM_CXICON));
  small_icon_ = load_icon(host->instance, model.icon, GetSystemMetrics(SM_CXSMICON));
  SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon_.get()));
  SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_.get()));

  create_controls(model);
  model.handle = reinterpret_cast<std::uintptr_t>(hwnd());
}

View::~View() {
  if (dialog_) SetWindowLongPtrW(hwnd(), DWLP_USER, 0);
}

HFONT View::font_for(const ui::Font& font) {
  const std::wstring face = scalable_face(font.name);
  const int height = -MulDiv(static_cast<int>(std::lround(font.points * 100)), dpi_y_, 7200);
  const std::wstring key = face + L'|' + std::to_wstring(height) + (font.bold ? L"b" : L"") +
                           (font.underline ? L"u" : L"");
  for (const auto& [k, handle] : fonts_) {
    if (k == key) return handle.get();
  }
  LOGFONTW wanted{};
  wanted.lfHeight = height;
  wanted.lfWeight = font.bold ? FW_BOLD : FW_NORMAL;
  wanted.lfUnderline = font.underline;
  wanted.lfCharSet = DEFAULT_CHARSET;
  face.copy(wanted.lfFaceName, LF_FACESIZE - 1);
  fonts_.emplace_back(key, unique_hfont(CreateFontIndirectW(&wanted)));
  return fonts_.back().second.get();
}

// Tab stops first, by tab index: the dialog manager walks the tab order down the z-order.
// Labels and then pictures go below them, so that they are drawn under the other controls.
int z_rank(ui::ControlKind kind) {
  switch (kind) {
    case ui::ControlKind::Label:
      return 1;
    case ui::ControlKind::Image:
      return 2;
    default:
      return 0;
  }
}

void View::create_controls(ui::Window& model) {
  const auto& entries = model.controls();
  controls_.resize(entries.size());
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].control->kind() != ui::ControlKind::Timer) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const ui::Control& ca = *entries[a].control;
    const ui::Control& cb = *entries[b].control;
    const int ra = z_rank(ca.kind()), rb = z_rank(cb.kind());
    if (ra != rb) return ra < rb;
    return ca.tab_index.value_or(INT32_MAX) < cb.tab_index.value_or(INT32_MAX);
  });

  const ui::Font default_font;
  for (const size_t i : order) {
    const ui::Control& control = *entries[i].control;
    ControlView& view = controls_[i];
    view.kind = control.kind();
    const wchar_t* window_class = L"BUTTON";
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex_style = 0;
    const ui::Font* font = &default_font;
    switch (view.kind) {
      case ui::ControlKind::CommandButton:
        style |= BS_PUSHBUTTON;
        break;
      case ui::ControlKind::CheckBox:
        style |= BS_AUTOCHECKBOX;
        break;
      case ui::ControlKind::Label:
        window_class = L"STATIC";
        style |= SS_LEFT | SS_NOTIFY;
        font = &static_cast<const ui::Label&>(control).font;
        break;
      case ui::ControlKind::TextBox:
        window_class = L"EDIT";
        style |= static_cast<const ui::TextBox&>(control).multi_line ? ES_MULTILINE | ES_AUTOVSCROLL
                                                                     : ES_AUTOHSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case ui::ControlKind::ListBox:
      case ui::ControlKind::FileListBox:
        window_class = L"LISTBOX";
        // No integral height: the list keeps the height of its layout.
        style |= LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case ui::ControlKind::Image: {
        window_class = L"STATIC";
        style |= SS_OWNERDRAW | SS_NOTIFY;
        const auto& image = static_cast<const ui::Image&>(control);
        view.picture = load_picture(host->instance, image.picture);
        BITMAP bits{};
        if (view.picture && GetObjectW(view.picture.get(), sizeof bits, &bits)) {
          // Its own size: 15 twips a pixel, like every other length here.
          view.picture_width = x_pixels(bits.bmWidth * 15);
          view.picture_height = y_pixels(bits.bmHeight * 15);
        }
        break;
      }
      case ui::ControlKind::ProgressBar:
        window_class = PROGRESS_CLASSW;
        break;
      case ui::ControlKind::Timer:
        break;
    }
    if (control.tab_index && z_rank(view.kind) == 0) style |= WS_TABSTOP;
    const int x = x_pixels(control.left), y = y_pixels(control.top);
    view.hwnd = CreateWindowExW(
        ex_style, window_class, L"", style, x, y, x_pixels(control.left + control.width) - x,
        y_pixels(control.top + control.height) - y, hwnd(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(i))),
        host->instance, nullptr);
    if (!view.hwnd) {
      raise(static_cast<int32_t>(GetLastError()), "Cannot create the control " + entries[i].name);
    }
    SendMessageW(view.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_for(*font)), FALSE);
  }
}

void View::draw(ui::Window& model) {
  const std::wstring caption = win::widen(model.caption);
  if (caption != caption_) {
    SetWindowTextW(hwnd(), caption.c_str());
    caption_ = caption;
  }
  const auto& entries = model.controls();
  for (size_t i = 0; i < controls_.size() && i < entries.size(); ++i) {
    draw_control(controls_[i], *entries[i].control);
  }
  const bool shown = IsWindowVisible(hwnd()) != FALSE;
  const bool asked = std::exchange(show_requests_, model.show_requests) != model.show_requests;
  if (model.visible && !shown) {
    if (!std::exchange(shown_once_, true)) centre();
    ShowWindow(hwnd(), SW_SHOW);
  } else if (model.visible && asked) {
    // Shown again while open, perhaps behind the host: with no taskbar button, only this
    // brings it back.
    SetWindowPos(hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(hwnd());
  } else if (!model.visible && shown) {
    ShowWindow(hwnd(), SW_HIDE);
  }
}

void View::draw_control(ControlView& view, const ui::Control& control) {
  if (!view.hwnd) return;
  if (control.enabled != view.enabled) {
    EnableWindow(view.hwnd, control.enabled);
    view.enabled = control.enabled;
  }
  switch (view.kind) {
    case ui::ControlKind::ListBox:
      draw_lines(view, static_cast<const ui::ListBox&>(control));
      break;
    case ui::ControlKind::FileListBox:
      draw_items(view, static_cast<const ui::FileListBox&>(control).items);
      break;
    case ui::ControlKind::Image:
    case ui::ControlKind::Timer:
      break;
    case ui::ControlKind::ProgressBar: {
      const auto& bar = static_cast<const ui::ProgressBar&>(control);
      if (bar.max != view.range) {
        SendMessageW(view.hwnd, PBM_SETRANGE32, 0, bar.max);
        view.range = bar.max;
      }
      if (bar.value != view.position) {
        SendMessageW(view.hwnd, PBM_SETPOS, static_cast<WPARAM>(bar.value), 0);
        view.position = bar.value;
      }
      break;
    }
    case ui::ControlKind::CheckBox: {
      const int16_t value = static_cast<const ui::CheckBox&>(control).value;
      if (value != view.value) {
        SendMessageW(view.hwnd, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
        view.value = value;
      }
      [[fallthrough]];
    }
    default: {
      const std::wstring text = win::widen(control.display_text());
      if (text != view.text) {
        SetWindowTextW(view.hwnd, text.c_str());
        view.text = text;
      }
    }
  }
  if (control.visible != view.visible) {
    ShowWindow(view.hwnd, control.visible ? SW_SHOWNA : SW_HIDE);
    view.visible = control.visible;
  }
}

// A file list: a new listing replaces the old.
void View::draw_items(ControlView& view, const std::vector<std::string>& items) {
  if (items == view.items) return;
  SendMessageW(view.hwnd, WM_SETREDRAW, FALSE, 0);
  SendMessageW(view.hwnd, LB_RESETCONTENT, 0, 0);
  for (const auto& item : items) {
    SendMessageW(view.hwnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(win::widen(item).c_str()));
  }
  SendMessageW(view.hwnd, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(view.hwnd, nullptr, TRUE);
  view.items = items;
}

// Lines are only appended to a list, dropped from its front when it is full, or all cleared:
// the model's counters say which, so a sync costs nothing for a log that did not change and
// the new lines alone for one that did, however long it is.
void View::draw_lines(ControlView& view, const ui::ListBox& list) {
  const size_t count = list.items.size();
  const uint64_t gone = list.dropped - view.dropped;
  if (list.clears == view.clears && gone == 0 && count == view.lines) return;
  size_t keep = 0;
  if (list.clears == view.clears && gone <= view.lines && count >= view.lines - gone) {
    keep = view.lines - static_cast<size_t>(gone);
    for (uint64_t i = 0; i < gone; ++i) SendMessageW(view.hwnd, LB_DELETESTRING, 0, 0);
  } else {
    SendMessageW(view.hwnd, LB_RESETCONTENT, 0, 0);
  }
  SendMessageW(view.hwnd, WM_SETREDRAW, FALSE, 0);
  for (size_t i = keep; i < count; ++i) {
    SendMessageW(view.hwnd, LB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(win::widen(list.items[i]).c_str()));
  }
  SendMessageW(view.hwnd, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(view.hwnd, nullptr, TRUE);
  view.lines = count;
  view.clears = list.clears;
  view.dropped = list.dropped;
}

// Centred over the screen that holds the active window (over that window itself for a window
// that asks so, when it is not one of ours): the models show their windows without an owner.
void View::centre() {
  RECT frame;
  GetWindowRect(hwnd(), &frame);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  const HWND active = GetForegroundWindow();
  if (!GetMonitorInfoW(MonitorFromWindow(active, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    return;
  }
  RECT area = monitor.rcWork;
  if (kClasses[class_index_].over_active && active && IsWindowVisible(active) &&
      GetWindow(active, GW_OWNER) != host->owner.get()) {
    GetWindowRect(active, &area);
  }
  const int x = area.left + ((area.right - area.left) - (frame.right - frame.left)) / 2;
  const int y = area.top + ((area.bottom - area.top) - (frame.bottom - frame.top)) / 2;
  SetWindowPos(hwnd(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR View::handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(kClasses[class_index_].background));
      return reinterpret_cast<INT_PTR>(background());
    case WM_DRAWITEM:
      return draw_picture(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
    case WM_LBUTTONDOWN:
      mouse_down_ = true;
      return TRUE;
    case WM_LBUTTONUP:
      if (!std::exchange(mouse_down_, false)) return FALSE;
      forward(class_index_, hwnd(), [](ui::Window& model) { model.click(); });
      return TRUE;
    case WM_CLOSE:  // the close box, the system menu, Alt+F4
      forward(class_index_, hwnd(), [ci = class_index_](ui::Window&) { kClasses[ci].close(); });
      return TRUE;
    case WM_COMMAND:
      return command(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
    default:
      return FALSE;
  }
}

INT_PTR View::command(WORD id, WORD code, HWND child) {
  const size_t ci = class_index_;
  const HWND dialog = hwnd();
  if (id == IDCANCEL) {  // Esc, through the dialog manager
    forward(ci, dialog, [ci](ui::Window& model) {
      if (kClasses[ci].esc_hides) {
        model.Hide();
      } else {
        kClasses[ci].close();
      }
    });
    return TRUE;
  }
  if (id == IDOK) {
    // Enter with no default button: it presses the focused button, as a click would.
    const HWND focus = GetFocus();
    if (!focus || GetParent(focus) != dialog) return FALSE;
    id = static_cast<WORD>(GetDlgCtrlID(focus));
    code = BN_CLICKED;
    child = focus;
    if (id < kFirstControlId || static_cast<size_t>(id - kFirstControlId) >= controls_.size() ||
        controls_[id - kFirstControlId].kind != ui::ControlKind::CommandButton) {
      return FALSE;
    }
  }
  if (id < kFirstControlId || static_cast<size_t>(id - kFirstControlId) >= controls_.size()) {
    return FALSE;
  }
  // Notifications our own drawing causes are not the user's.
  if (host && host->syncing) return TRUE;
  const size_t index = static_cast<size_t>(id - kFirstControlId);
  ControlView& view = controls_[index];
  const ui::ControlKind kind = view.kind;
  switch (kind) {
    case ui::ControlKind::TextBox: {
      if (code != EN_CHANGE) return FALSE;
      view.text = window_text(child);
      const std::string text = win::narrow(view.text);
      forward_to_control(ci, dialog, index, kind, [&](ui::Control& control) {
        static_cast<ui::TextBox&>(control).text = text;
      });
      return TRUE;
    }
    case ui::ControlKind::CheckBox: {
      if (code != BN_CLICKED) return FALSE;
      const int16_t value = SendMessageW(child, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
      view.value = value;
      forward_to_control(ci, dialog, index, kind, [&](ui::Control& control) {
        static_cast<ui::CheckBox&>(control).value = value;
        control.click();
      });
      return TRUE;
    }
    case ui::ControlKind::ListBox:
    case ui::ControlKind::FileListBox:
      if (code != LBN_SELCHANGE) return FALSE;
      break;
    default:
      if (code != BN_CLICKED && code != STN_CLICKED) return FALSE;
      break;
  }
  forward_to_control(ci, dialog, index, kind, [](ui::Control& control) { control.click(); });
  return TRUE;
}

// A picture at its own size from the top left corner of its rectangle, cut off by it.
INT_PTR View::draw_picture(const DRAWITEMSTRUCT& item) {
  const size_t index = item.CtlID - static_cast<UINT>(kFirstControlId);
  if (item.CtlType != ODT_STATIC || index >= controls_.size()) return FALSE;
  const ControlView& view = controls_[index];
  FillRect(item.hDC, &item.rcItem, background());
  if (!view.picture) return TRUE;
  BITMAP bits{};
  GetObjectW(view.picture.get(), sizeof bits, &bits);
  const pvx::win::unique_hdc memory(CreateCompatibleDC(item.hDC));
  if (!memory) return TRUE;
  const HGDIOBJ old = SelectObject(memory.get(), view.picture.get());
  SetStretchBltMode(item.hDC, HALFTONE);
  SetBrushOrgEx(item.hDC, 0, 0, nullptr);
  StretchBlt(item.hDC, 0, 0, view.picture_width, view.picture_height, memory.get(), 0, 0,
             bits.bmWidth, bits.bmHeight, SRCCOPY);
  SelectObject(memory.get(), old);  // the picture must not be selected when the DC goes
  return TRUE;
}

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  return pvx::guard_result<INT_PTR>(FALSE, FALSE, [&]() -> INT_PTR {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      return FALSE;  // no focus yet: the window is created hidden
    }
    auto* view = reinterpret_cast<View*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return view ? view->handle(message, wparam, lparam) : FALSE;
  });
}

// Hands keyboard messages for our windows to the dialog manager, which the host's message
// loop never calls for them: TAB, arrows, Enter, Esc and access keys.
LRESULT CALLBACK keyboard_hook(int code, WPARAM wparam, LPARAM lparam) {
  return pvx::guard_result<LRESULT>(0, 0, [&]() -> LRESULT {
    auto* message = reinterpret_cast<MSG*>(lparam);
    if (code == HC_ACTION && wparam == PM_REMOVE && host && message->hwnd &&
        message->message >= WM_KEYFIRST && message->message <= WM_KEYLAST) {
      const HWND root = GetAncestor(message->hwnd, GA_ROOT);
      bool ours = false;
      for (const auto& view : host->views) ours = ours || (view && view->hwnd() == root);
      // The dialog manager dispatched it: the host must not translate or dispatch it again.
      if (ours && IsDialogMessageW(root, message)) {
        message->message = WM_NULL;
        message->wParam = 0;
        message->lParam = 0;
      }
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
  });
}

LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return pvx::guard_result<LRESULT>(0, 0, [&]() -> LRESULT {
    if (message == kSyncMessage || (message == WM_TIMER && wparam == kSyncTimer)) {
      if (message == kSyncMessage && host) host->sync_posted = false;
      sync();
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  });
}

}  // namespace

void start(HINSTANCE instance) {
  if (host) return;
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = host_proc;
  window_class.hInstance = instance;
  window_class.lpszClassName = kHostClass;
  if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    raise(static_cast<int32_t>(GetLastError()), "Cannot register the add-in's window class");
  }
  auto created = std::make_unique<Host>();
  created->instance = instance;
  created->owner.reset(CreateWindowExW(0, kHostClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                       instance, nullptr));
  if (!created->owner) {
    raise(static_cast<int32_t>(GetLastError()), "Cannot create the add-in's windows");
  }
  SetTimer(created->owner.get(), kSyncTimer, kSyncPeriodMs, nullptr);
  // Thread-local: only the host's user-interface thread, where our windows live.
  created->hook.reset(
      SetWindowsHookExW(WH_GETMESSAGE, keyboard_hook, nullptr, GetCurrentThreadId()));
  host = created.release();
  ++live_hosts;
  ui::on_list_changed = request_sync;
  sync();
}

void stop() {
  if (!host) return;
  ui::on_list_changed = nullptr;
  std::unique_ptr<Host> doomed(std::exchange(host, nullptr));
  for (size_t i = 0; i < kClasses.size(); ++i) {
    auto& view = doomed->views[i];
    if (!view) continue;
    if (ui::Window* model = kClasses[i].find();
        model && model->handle == reinterpret_cast<std::uintptr_t>(view->hwnd())) {
      model->handle = 0;
    }
    view.reset();
  }
  const HINSTANCE instance = doomed->instance;
  doomed.reset();
  UnregisterClassW(kHostClass, instance);
  --live_hosts;
}

void sync() {
  if (!host || host->syncing) return;  // a sync under way finishes the job
  host->syncing = true;
  struct Done {
    ~Done() {
      if (host) host->syncing = false;
    }
  } done;
  for (size_t i = 0; i < kClasses.size(); ++i) {
    ui::Window* model = kClasses[i].find();
    auto& view = host->views[i];
    if (view && (!model || !view->draws(*model))) view.reset();
    if (model && !view) view = std::make_unique<View>(i, *model);
    if (view) view->draw(*model);
  }
}

bool started() {
  return host != nullptr;
}

long live() {
  return live_hosts.load();
}

}  // namespace parvex::views
