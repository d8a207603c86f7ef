#include "archive/archive_text.h"

#include <cstring>

#include "codepage.h"
#include "core/failure.h"
#include "seams/fs.h"

namespace parvex::archive {
namespace {

// Marks a byte that is not part of well-formed UTF-8; it is copied back unchanged.
constexpr char32_t kRawByte = 0x110000;

// Decodes the UTF-8 character at s[i] and advances i past it.
char32_t next_char(std::string_view s, size_t& i) {
  const size_t start = i;
  const auto c = pvx::decode_utf8(s, i);
  return c ? *c : kRawByte + static_cast<unsigned char>(s[start]);
}

void append_char(std::string& out, char32_t c) {
  if (c >= kRawByte) {
    out += static_cast<char>(c - kRawByte);
  } else {
    pvx::append_utf8(out, c);
  }
}

// Latin Extended-A pairs letters as (capital, small) from an even or an odd code point.
bool in_pair_block(char32_t c, char32_t first, char32_t last) {
  return c >= first && c <= last;
}

char32_t to_upper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if ((in_pair_block(c, 0x100, 0x12F) || in_pair_block(c, 0x132, 0x137) ||
       in_pair_block(c, 0x14A, 0x177)) &&
      (c & 1))
    return c - 1;
  if ((in_pair_block(c, 0x139, 0x148) || in_pair_block(c, 0x179, 0x17E)) && !(c & 1)) return c - 1;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

char32_t to_lower(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c == 0x178) return 0xFF;
  if ((in_pair_block(c, 0x100, 0x12F) || in_pair_block(c, 0x132, 0x137) ||
       in_pair_block(c, 0x14A, 0x177)) &&
      !(c & 1))
    return c + 1;
  if ((in_pair_block(c, 0x139, 0x148) || in_pair_block(c, 0x179, 0x17E)) && (c & 1)) return c + 1;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

}  // namespace

std::string upper_case(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) append_char(out, to_upper(next_char(utf8, i)));
  return out;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (to_lower(next_char(a, i)) != to_lower(next_char(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

std::string ansi_copy(std::string_view utf8) {
  bool exact = true;
  std::string ansi = fs::to_ansi(utf8, &exact);
  // A zero byte would end the text early and hand the library a different name.
  if (!exact || ansi.find('\0') != std::string::npos) {
    raise(kBadFileName, "Bad file name or number: \"" + std::string(utf8) +
                            "\" cannot be written in the ANSI code page");
  }
  return ansi;
}

std::string text_from_ansi_buffer(const char* buf, size_t max_len) {
  if (!buf) return {};
  const void* zero = std::memchr(buf, 0, max_len);
  const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - buf) : max_len;
  return fs::from_ansi(std::string_view(buf, n));
}

}  // namespace parvex::archive
