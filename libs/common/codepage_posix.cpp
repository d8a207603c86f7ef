// Code page conversions on POSIX, by our own tables: 1252 is the ANSI code page here.
#include <string>
#include <system_error>

#include "codepage.h"
#include "codepage_tables.h"

namespace pvx {

using detail::kCp1252High;
using detail::kCp437High;

unsigned ansi_code_page() {
  return kCodePage1252;
}

namespace {

int cp1252_code(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int k = 0; k < 32; ++k) {
    if (kCp1252High[k] != 0 && kCp1252High[k] == c) return 0x80 + k;
  }
  return -1;
}

// The code of c in a single-byte code page, or -1.
int single_byte_code(char32_t c, unsigned code_page) {
  if (c < 0x80) return static_cast<int>(c);
  if (code_page == kCodePage1252) return cp1252_code(c);
  for (int k = 0; k < 128; ++k) {
    if (kCp437High[k] == c) return 0x80 + k;
  }
  return -1;
}

[[noreturn]] void no_table(unsigned code_page) {
  throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                          "no conversion table for code page " + std::to_string(code_page));
}

}  // namespace

std::string utf8_to_code_page(std::string_view utf8, unsigned code_page, bool* exact) {
  if (code_page != kCodePageUtf8 && code_page != kCodePage1252 && code_page != kCodePage437) {
    no_table(code_page);
  }
  std::string out;
  out.reserve(utf8.size());
  bool all = true;
  for (size_t i = 0; i < utf8.size();) {
    const size_t start = i;
    const char32_t c = next_utf8(utf8, i);
    const bool malformed = c == 0xFFFD && i - start != 3;
    const int code = malformed || code_page == kCodePageUtf8 ? 0 : single_byte_code(c, code_page);
    if (malformed || code < 0) {
      // Like the system converter: U+FFFD in UTF-8, the default character elsewhere.
      out += code_page == kCodePageUtf8 ? "\xEF\xBF\xBD" : "?";
      all = false;
    } else if (code_page == kCodePageUtf8) {
      out.append(utf8.substr(start, i - start));
    } else {
      out += static_cast<char>(code);
    }
  }
  if (exact) *exact = all;
  return out;
}

std::string code_page_to_utf8(std::string_view text, unsigned code_page) {
  if (code_page == kCodePage437) return cp437_to_utf8(text);
  if (code_page == kCodePageUtf8) {
    std::string out;
    for (size_t i = 0; i < text.size();) append_utf8(out, next_utf8(text, i));
    return out;
  }
  if (code_page != kCodePage1252) no_table(code_page);
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    char32_t c = b;
    if (b >= 0x80 && b < 0xA0) c = kCp1252High[b - 0x80] ? kCp1252High[b - 0x80] : b;
    append_utf8(out, c);
  }
  return out;
}

}  // namespace pvx
