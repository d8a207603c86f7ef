// Win32 services: the real message box, an input box built from an in-memory dialog template,
// the message pump, the clipboard, the shell and the user's locale.
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "own_module.h"
#include "seams/services.h"
#include "text_win32.h"
#include "win32_handles.h"
#include "wipe.h"

namespace parvex {
namespace {

constexpr WORD kIdPrompt = 100;
constexpr WORD kIdAnswer = 101;

// Appends one dialog item; templates need DWORD alignment before each item.
void add_item(std::vector<WORD>& t, DWORD style, short x, short y, short cx, short cy, WORD id,
              WORD cls, const wchar_t* text) {
  if (t.size() % 2) t.push_back(0);
  DLGITEMTEMPLATE item{};
  item.style = style | WS_CHILD | WS_VISIBLE;
  item.x = x;
  item.y = y;
  item.cx = cx;
  item.cy = cy;
  item.id = id;
  const WORD* p = reinterpret_cast<const WORD*>(&item);
  t.insert(t.end(), p, p + sizeof(item) / sizeof(WORD));
  t.push_back(0xFFFF);
  t.push_back(cls);
  for (const wchar_t* c = text; *c; ++c) t.push_back(static_cast<WORD>(*c));
  t.push_back(0);
  t.push_back(0);  // no creation data
}

constexpr WORD kIdConfirm = 102;
constexpr WORD kIdUnprotected = 103;

struct InputBoxState {
  std::wstring prompt, answer;
};

struct PasswordBoxState {
  std::wstring prompt;
  PasswordAnswer answer;
};

// The text of an edit control as UTF-8; the control is emptied and the wide copy wiped.
std::string take_text(HWND dlg, WORD id) {
  wchar_t buf[1024];
  GetDlgItemTextW(dlg, id, buf, 1024);
  std::string text = win::narrow(buf);
  pvx::wipe(buf, sizeof buf);
  SetDlgItemTextW(dlg, id, L"");
  return text;
}

// OK keeps the box open until the password is typed the same twice and can be used; only the
// "Send without password" button sends unprotected, and Cancel or closing the box cancels.
INT_PTR CALLBACK password_box_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return pvx::guard_result<INT_PTR>(FALSE, FALSE, [&]() -> INT_PTR {
    auto* state = reinterpret_cast<PasswordBoxState*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
      case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        state = reinterpret_cast<PasswordBoxState*>(lp);
        SetDlgItemTextW(dlg, kIdPrompt, state->prompt.c_str());
        for (const WORD id : {kIdAnswer, kIdConfirm}) {
          SendDlgItemMessageW(dlg, id, EM_SETPASSWORDCHAR, static_cast<WPARAM>(0x25CF), 0);
        }
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
          std::string first = take_text(dlg, kIdAnswer);
          std::string second = take_text(dlg, kIdConfirm);
          std::string refusal = first == second ? password_refusal(first)
                                                : "The two passwords differ: type it again.";
          pvx::wipe(second);
          if (!refusal.empty()) {
            pvx::wipe(first);
            MessageBoxW(dlg, win::widen(refusal).c_str(), L"Parvex", MB_OK | MB_ICONWARNING);
            SetFocus(GetDlgItem(dlg, kIdAnswer));
            return TRUE;
          }
          state->answer.choice = PasswordAnswer::Choice::password;
          state->answer.password = std::move(first);
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        if (LOWORD(wp) == kIdUnprotected || LOWORD(wp) == IDCANCEL) {
          state->answer.choice = LOWORD(wp) == kIdUnprotected ? PasswordAnswer::Choice::unprotected
                                                              : PasswordAnswer::Choice::cancel;
          EndDialog(dlg, LOWORD(wp));
          return TRUE;
        }
        break;
      default:
        break;
    }
    return FALSE;
  });
}

INT_PTR CALLBACK input_box_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  return pvx::guard_result<INT_PTR>(FALSE, FALSE, [&]() -> INT_PTR {
    auto* state = reinterpret_cast<InputBoxState*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
      case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        state = reinterpret_cast<InputBoxState*>(lp);
        SetDlgItemTextW(dlg, kIdPrompt, state->prompt.c_str());
        SetDlgItemTextW(dlg, kIdAnswer, state->answer.c_str());
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
          wchar_t buf[1024];
          GetDlgItemTextW(dlg, kIdAnswer, buf, 1024);
          state->answer = buf;
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
          state->answer.clear();
          EndDialog(dlg, IDCANCEL);
          return TRUE;
        }
        break;
      default:
        break;
    }
    return FALSE;
  });
}

std::wstring default_caption() {
  std::wstring name = win::own_module_path();
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  const auto dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name = name.substr(0, dot);
  return name;
}

[[noreturn]] void raise_clipboard(const char* what) {
  const DWORD e = GetLastError();
  raise(err::kCannotOpenClipboard,
        std::string("Can't open Clipboard: ") + what + " (error " + std::to_string(e) + ")");
}

constexpr wchar_t kSettingsKey[] = L"Software\\Parvex\\Options";
constexpr DWORD kSettingBytes = 4096;

[[noreturn]] void raise_registry(LSTATUS status) {
  raise(err::kPathFileAccess,
        "The settings in the registry cannot be reached (error " + std::to_string(status) + ")");
}

// One value of key under root: none when the key or value is missing; else its text (a number
// in decimal) and whether it can be used: of the wanted type (REG_SZ, or REG_DWORD of 4 bytes),
// short, and read whole. A value that cannot be used is that value's fault alone: only a key
// that cannot be opened raises, so that one damaged value never hides the others.
std::optional<std::pair<std::string, bool>> read_value(HKEY root, const wchar_t* key_path,
                                                       const std::string& name, DWORD wanted) {
  pvx::win::unique_hkey key;
  const LSTATUS opened = RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (opened != ERROR_SUCCESS) raise_registry(opened);
  const std::wstring value_name = win::widen(name);
  const auto unusable = std::pair{std::string(), false};
  DWORD type = 0, bytes = 0;
  LSTATUS status = RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (status != ERROR_SUCCESS || type != wanted || bytes > kSettingBytes) return unusable;
  if (wanted == REG_DWORD) {
    DWORD number = 0;
    if (bytes != sizeof number) return unusable;  // a DWORD of 8 bytes, or of 2
    status = RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(&number), &bytes);
    if (status != ERROR_SUCCESS || type != wanted) return unusable;
    return std::pair{std::to_string(number), true};
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  status = RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(text.data()), &bytes);
  if (status != ERROR_SUCCESS || type != wanted) return unusable;
  // The stored text may or may not end in a zero.
  text.resize(std::min<size_t>(bytes / sizeof(wchar_t), text.size()));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return std::pair{win::narrow(text), true};
}

// Whether a file can be made in folder: tried once a process, with a file that goes when closed.
bool writable(const std::wstring& folder) {
  static const bool answer = [&] {
    const std::wstring probe =
        folder + L"\\parvex-probe-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const pvx::win::unique_hfile file(CreateFileW(
        probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file) return true;
    const DWORD e = GetLastError();
    return e != ERROR_ACCESS_DENIED && e != ERROR_WRITE_PROTECT;
  }();
  return answer;
}

// Installed for all users: the marker file beside the DLL.
bool for_all_users(const std::wstring& folder) {
  return GetFileAttributesW((folder + L"\\" + win::widen(kMachineMarker)).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

std::wstring module_folder() {
  const std::wstring path = win::own_module_path();
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

class Win32Services final : public Services {
 public:
  MsgAnswer message_box(const std::string& text, MsgButtons buttons, MsgIcon icon,
                        const std::string& caption) override {
    const std::wstring cap = caption.empty() ? default_caption() : win::widen(caption);
    const int r = MessageBoxW(GetActiveWindow(), win::widen(text).c_str(), cap.c_str(),
                              static_cast<UINT>(buttons) | static_cast<UINT>(icon));
    // A box that was never shown returns 0 (wine with no display: -1), not a button.
    return r >= IDOK && r <= IDNO ? static_cast<MsgAnswer>(r) : MsgAnswer::None;
  }

  std::string input_box(const std::string& prompt, const std::string& caption,
                        const std::string& default_answer) override {
    InputBoxState state{win::widen(prompt), win::widen(default_answer)};
    return ask(state, caption);
  }

  // Prompt, the password twice, then "Send without password", OK and Cancel.
  PasswordAnswer password_box(const std::string& prompt, const std::string& caption) override {
    PasswordBoxState state{win::widen(prompt) + L"\n\nType the password twice.", {}};
    std::vector<WORD> t = dialog_template(caption, 6, 117);
    add_item(t, SS_LEFT, 7, 7, 226, 44, kIdPrompt, 0x0082, L"");
    // The fields first: the box opens with the cursor in the password.
    const DWORD edit = ES_AUTOHSCROLL | ES_PASSWORD | WS_BORDER | WS_TABSTOP;
    add_item(t, edit, 7, 56, 226, 14, kIdAnswer, 0x0081, L"");
    add_item(t, edit, 7, 75, 226, 14, kIdConfirm, 0x0081, L"");
    // "Send without password" on one line: wrapped on a narrow button, wine lost its last word.
    add_item(t, BS_PUSHBUTTON | WS_TABSTOP, 7, 96, 100, 14, kIdUnprotected, 0x0080,
             L"Send without password");
    add_item(t, BS_DEFPUSHBUTTON | WS_TABSTOP, 129, 96, 50, 14, IDOK, 0x0080, L"OK");
    add_item(t, BS_PUSHBUTTON | WS_TABSTOP, 183, 96, 50, 14, IDCANCEL, 0x0080, L"Cancel");
    // A box that cannot be shown leaves the answer at Cancel.
    DialogBoxIndirectParamW(win::own_module(), reinterpret_cast<LPCDLGTEMPLATEW>(t.data()),
                            GetActiveWindow(), password_box_proc, reinterpret_cast<LPARAM>(&state));
    return std::move(state.answer);
  }

  std::vector<WORD> dialog_template(const std::string& caption, WORD items, short height) {
    std::vector<WORD> t;
    DLGTEMPLATE dlg{};
    dlg.style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    dlg.cdit = items;
    dlg.cx = 240;
    dlg.cy = height;
    const WORD* p = reinterpret_cast<const WORD*>(&dlg);
    t.insert(t.end(), p, p + sizeof(dlg) / sizeof(WORD));
    t.push_back(0);  // no menu
    t.push_back(0);  // default class
    const std::wstring cap = caption.empty() ? default_caption() : win::widen(caption);
    for (wchar_t c : cap) t.push_back(static_cast<WORD>(c));
    t.push_back(0);
    t.push_back(8);
    for (const wchar_t* c = L"MS Shell Dlg"; *c; ++c) t.push_back(static_cast<WORD>(*c));
    t.push_back(0);
    return t;
  }

  std::string ask(InputBoxState& state, const std::string& caption) {
    std::vector<WORD> t = dialog_template(caption, 4, 80);
    add_item(t, SS_LEFT, 7, 7, 170, 40, kIdPrompt, 0x0082, L"");
    add_item(t, BS_DEFPUSHBUTTON | WS_TABSTOP, 185, 7, 48, 14, IDOK, 0x0080, L"OK");
    add_item(t, BS_PUSHBUTTON | WS_TABSTOP, 185, 25, 48, 14, IDCANCEL, 0x0080, L"Cancel");
    add_item(t, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 58, 226, 14, kIdAnswer, 0x0081, L"");
    DialogBoxIndirectParamW(win::own_module(), reinterpret_cast<LPCDLGTEMPLATEW>(t.data()),
                            GetActiveWindow(), input_box_proc, reinterpret_cast<LPARAM>(&state));
    return win::narrow(state.answer);
  }

  bool keeps_settings() override { return true; }
  bool keeps_policies() override { return true; }
  // Under the user's own key, as REG_SZ values.
  std::optional<std::string> read_setting(const std::string& name) override {
    const auto value = read_value(HKEY_CURRENT_USER, kSettingsKey, name, REG_SZ);
    if (!value) return std::nullopt;
    if (!value->second) raise(err::kTypeMismatch, "The setting " + name + " is not a short text");
    return value->first;
  }
  // REG_DWORD for a number, REG_SZ for a text, as the administrative templates write them.
  std::optional<std::string> read_policy(PolicyScope scope, const std::string& name,
                                         PolicyKind kind) override {
    const HKEY root = scope == PolicyScope::machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const bool number = kind == PolicyKind::number;
    const auto value =
        read_value(root, win::widen(kPolicyKey).c_str(), name, number ? REG_DWORD : REG_SZ);
    if (!value) return std::nullopt;
    if (!value->second) {
      raise(err::kTypeMismatch,
            "The policy " + name + " is not a " + (number ? "REG_DWORD" : "short REG_SZ"));
    }
    return value->first;
  }

  void write_setting(const std::string& name, const std::string& value) override {
    pvx::win::unique_hkey key;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) raise_registry(status);
    const std::wstring text = win::widen(value);
    status = RegSetValueExW(key.get(), win::widen(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) raise_registry(status);
  }

  void do_events() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the host's loop
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  void set_clipboard_text(const std::string& text) override {
    // The memory first: a failure here leaves the user's clipboard as it was.
    const std::wstring wide = win::widen(text);
    const size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    pvx::win::unique_hglobal memory(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (!memory) raise_clipboard("cannot allocate the text");
    {
      const pvx::win::unique_global_lock locked = pvx::win::lock_global(memory.get());
      if (!locked) raise_clipboard("cannot lock the text");
      std::memcpy(locked.get(), wide.c_str(), bytes);
    }
    // Opened without an owner window, SetClipboardData fails after EmptyClipboard.
    const pvx::win::unique_hwnd owner(
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    if (!owner) raise_clipboard("cannot create its owner window");
    const pvx::win::unique_clipboard clipboard = pvx::win::open_clipboard(owner.get());
    if (!clipboard) raise_clipboard("another program has it open");
    if (!EmptyClipboard()) raise_clipboard("cannot empty it");
    if (!SetClipboardData(CF_UNICODETEXT, memory.get())) raise_clipboard("it refused the text");
    (void)memory.release();  // the clipboard owns it now
  }

  void shell_execute(const ShellExecuteArgs& a) override {
    const std::wstring params = a.parameters ? win::widen(*a.parameters) : std::wstring();
    ShellExecuteW(reinterpret_cast<HWND>(a.parent), win::widen(a.verb).c_str(),
                  win::widen(a.file).c_str(), a.parameters ? params.c_str() : nullptr,
                  win::widen(a.directory).c_str(), a.show);
  }

  // Installed for all users (the marker file beside the DLL), the folder users cannot write:
  // each user's files go to %LOCALAPPDATA%\Parvex instead, made on first use.
  // A folder beside the DLL that cannot be written (a read-only share or medium) goes the same
  // way: the connection would fail on its first file and the host disable the add-in.
  std::string addin_folder() override {
    const std::wstring beside = module_folder();
    if (!for_all_users(beside) && writable(beside)) return win::narrow(beside);
    wchar_t local[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0,
                                local))) {
      raise(err::kPathNotFound, "Path not found: the user's local application data");
    }
    const std::wstring folder = std::wstring(local) + L"\\Parvex";
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      raise(err::kPathNotFound, "Path not found: " + win::narrow(folder));
    }
    return win::narrow(folder);
  }
  std::string addin_folder_note() override {
    const std::wstring beside = module_folder();
    if (for_all_users(beside) || writable(beside)) return {};
    return "The folder of Parvex.dll cannot be written (" + win::narrow(beside) +
           "): the add-in keeps its files in " + addin_folder();
  }
  std::string library_folder() override { return win::narrow(module_folder()); }

  uint32_t last_system_error() override { return GetLastError(); }

  LocalTime now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  }

  std::string general_date(const LocalTime& t) override {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    wchar_t date[128] = L"", time[128] = L"";
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 128);
    std::string text = win::narrow(date);
    if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, 128);
    return text + " " + win::narrow(time);
  }

  NumberSeparators number_separators() override {
    wchar_t thousands[8] = L",", decimal[8] = L".";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, thousands, 8);
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8);
    return NumberSeparators{win::narrow(thousands), win::narrow(decimal)};
  }
};

}  // namespace

std::unique_ptr<Services> make_native_services() {
  return std::make_unique<Win32Services>();
}

}  // namespace parvex
