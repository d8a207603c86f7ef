// Code page conversions on Win32, through the system converter.
#include <windows.h>

#include <string>
#include <system_error>

#include "codepage_win32.h"

namespace pvx {

unsigned ansi_code_page() {
  return GetACP();
}

namespace {

[[noreturn]] void conversion_failed(const char* what, unsigned code_page) {
  const DWORD e = GetLastError();
  throw std::system_error(
      static_cast<int>(e), std::system_category(),
      std::string("text cannot be converted ") + what + " code page " + std::to_string(code_page));
}

std::wstring to_wide(std::string_view text, unsigned code_page) {
  if (text.empty()) return {};
  const int len = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(code_page, 0, text.data(), len, nullptr, 0);
  if (n <= 0) conversion_failed("from", code_page);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(code_page, 0, text.data(), len, out.data(), n) != n) {
    conversion_failed("from", code_page);
  }
  return out;
}

std::string from_wide(std::wstring_view wide, unsigned code_page, bool* lossy) {
  if (wide.empty()) return {};
  // The pages that refuse flags also refuse the default-character arguments.
  const bool flags = code_page_takes_flags(code_page);
  const DWORD how = flags ? WC_NO_BEST_FIT_CHARS : 0;
  const char* fill = flags ? "?" : nullptr;
  BOOL used = FALSE;
  BOOL* used_at = flags ? &used : nullptr;
  const int len = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(code_page, how, wide.data(), len, nullptr, 0, fill, used_at);
  if (n <= 0) conversion_failed("to", code_page);
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(code_page, how, wide.data(), len, out.data(), n, fill, used_at) != n) {
    conversion_failed("to", code_page);
  }
  if (lossy) {
    // Without the used-default report, a text that does not come back unchanged lost something.
    *lossy = flags ? used != FALSE : code_page != kCodePageUtf8 && to_wide(out, code_page) != wide;
  }
  return out;
}

}  // namespace

std::wstring utf8_to_wide(std::string_view utf8) {
  return to_wide(utf8, kCodePageUtf8);
}

std::string wide_to_utf8(std::wstring_view wide) {
  return from_wide(wide, kCodePageUtf8, nullptr);
}

std::string utf8_to_code_page(std::string_view utf8, unsigned code_page, bool* exact) {
  bool lossy = false;
  std::string out = from_wide(utf8_to_wide(utf8), code_page, &lossy);
  if (exact) *exact = !lossy && is_utf8(utf8);
  return out;
}

std::string code_page_to_utf8(std::string_view text, unsigned code_page) {
  return wide_to_utf8(to_wide(text, code_page));
}

}  // namespace pvx
