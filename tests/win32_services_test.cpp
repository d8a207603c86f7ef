// The Win32 back-end itself, not a fake: the clipboard.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "codepage.h"
#include "core/failure.h"
#include "platform/services.h"
#include "win32_handles.h"

namespace parvex {
namespace {

std::string clipboard_text() {
  const pvx::win::unique_hwnd owner(
      CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
  const pvx::win::unique_clipboard open = pvx::win::open_clipboard(owner.get());
  if (!open) return "<not open>";
  const auto text = static_cast<const wchar_t*>(GetClipboardData(CF_UNICODETEXT));
  return text ? pvx::wide_to_utf8(text) : "<no text>";
}

TEST(Win32Clipboard, TakesTheTextOrFailsWithoutEmptyingIt) {
  const auto native = make_native_services();
  const std::string digits = "080097114118101120 \xC3\xA9";
  native->set_clipboard_text(digits);
  EXPECT_EQ(clipboard_text(), digits);

  // Another program holding the clipboard open makes the call fail, and loudly.
  HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread other([&] {
    const pvx::win::unique_hwnd owner(
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    const pvx::win::unique_clipboard open = pvx::win::open_clipboard(owner.get());
    SetEvent(opened);
    WaitForSingleObject(done, 10000);
  });
  WaitForSingleObject(opened, 10000);
  try {
    native->set_clipboard_text("lost");
    ADD_FAILURE() << "the clipboard was taken while another window had it open";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), err::kCannotOpenClipboard);
  }
  SetEvent(done);
  other.join();
  CloseHandle(opened);
  CloseHandle(done);
  EXPECT_EQ(clipboard_text(), digits);
}

}  // namespace
}  // namespace parvex
#endif
