#include "codepage.h"

#include "codepage_tables.h"

namespace pvx {

using detail::kCp437High;

std::optional<char32_t> decode_utf8(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  // C0 and C1 start only overlong forms, F5 and above only code points past U+10FFFF.
  const size_t extra = b < 0x80                ? 0
                       : b >= 0xC2 && b < 0xE0 ? 1
                       : b >= 0xE0 && b < 0xF0 ? 2
                       : b >= 0xF0 && b < 0xF5 ? 3
                                               : 4;
  if (extra == 0) {
    ++i;
    return b;
  }
  if (extra > 3 || i + extra >= s.size()) {
    ++i;
    return std::nullopt;
  }
  char32_t c = b & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  i += extra + 1;
  return c;
}

char32_t next_utf8(std::string_view s, size_t& i) {
  return decode_utf8(s, i).value_or(0xFFFD);
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

}  // namespace pvx
