#include "codepage.h"

#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace pvx {
namespace {

// Windows-1252 codes 0x80..0x9F; 0 marks the five unassigned codes.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

constexpr char32_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

#ifndef _WIN32
int cp1252_code(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int k = 0; k < 32; ++k) {
    if (kCp1252High[k] != 0 && kCp1252High[k] == c) return 0x80 + k;
  }
  return -1;
}
#endif

}  // namespace

char32_t next_utf8(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  const int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra == 0) {
    ++i;
    return b;
  }
  if (extra < 0 || i + static_cast<size_t>(extra) >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = b & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  i += extra + 1;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t c = next_utf8(text, i);
    if (c == 0xFFFD && !(i - start == 3 && text.substr(start, 3) == "\xEF\xBF\xBD")) return false;
  }
  return true;
}

std::string cp437_to_utf8(std::string_view cp437) {
  std::string out;
  out.reserve(cp437.size());
  for (const char ch : cp437) {
    const auto b = static_cast<unsigned char>(ch);
    append_utf8(out, b < 0x80 ? b : kCp437High[b - 0x80]);
  }
  return out;
}

unsigned ansi_code_page() {
#ifdef _WIN32
  return GetACP();
#else
  return kCodePage1252;
#endif
}

bool code_page_takes_flags(unsigned code_page) {
  switch (code_page) {
    case 42:
    case 50220:
    case 50221:
    case 50222:
    case 50225:
    case 50227:
    case 50229:
    case 54936:
    case 65000:
    case 65001:
      return false;
    default:
      return code_page < 57002 || code_page > 57011;
  }
}

std::string utf8_to_ansi(std::string_view utf8, bool* exact) {
  return utf8_to_code_page(utf8, ansi_code_page(), exact);
}

std::string ansi_to_utf8(std::string_view ansi) {
  return code_page_to_utf8(ansi, ansi_code_page());
}

#ifdef _WIN32

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

#else

namespace {

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

#endif

}  // namespace pvx
