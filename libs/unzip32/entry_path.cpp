#include "entry_path.h"

#include <vector>

#include "codepage.h"

namespace pvx::unzip {
namespace {

bool is_sep(char c) {
  return c == '/' || c == '\\';
}

bool only_dots_and_spaces(std::string_view part) {
  return part.find_first_not_of(". ") == std::string_view::npos;
}

std::string clean_part(std::string_view part, bool space_to_underscore) {
  std::string out(part);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    bool replace = b < 0x20 || b == 0x7F || (space_to_underscore && c == ' ');
    replace = replace || reserved_char(c);
    if (replace) c = '_';
  }
  return out;
}

char32_t fold(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
      (c >= 0x391 && c <= 0x3A9) || (c >= 0x410 && c <= 0x42F)) {
    return c + 32;
  }
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

std::u32string decode(std::string_view text, bool case_sensitive, bool pattern) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    char32_t c = next_utf8(text, i);
    if (pattern && c == '\\') c = '/';
    out += case_sensitive ? c : fold(c);
  }
  return out;
}

// Whether the pattern element at p matches c; *next is the element after it.
bool element_matches(const std::u32string& pat, size_t p, char32_t c, size_t* next) {
  if (pat[p] == '?') {
    *next = p + 1;
    return true;
  }
  if (pat[p] == '[') {
    size_t i = p + 1;
    const bool negate = i < pat.size() && (pat[i] == '!' || pat[i] == '^');
    if (negate) ++i;
    const size_t first = i;
    bool hit = false;
    for (; i < pat.size() && (pat[i] != ']' || i == first); ++i) {
      if (i + 2 < pat.size() && pat[i + 1] == '-' && pat[i + 2] != ']') {
        hit = hit || (c >= pat[i] && c <= pat[i + 2]);
        i += 2;
      } else {
        hit = hit || c == pat[i];
      }
    }
    if (i < pat.size()) {  // a closed set; an unclosed '[' is an ordinary character
      *next = i + 1;
      return hit != negate;
    }
  }
  *next = p + 1;
  return pat[p] == c;
}

}  // namespace

bool entry_path(std::string_view name, const PathRules& rules, EntryPath* out, std::string* why) {
  *out = EntryPath{};
  if (name.empty()) {
    *why = "the name is empty";
    return false;
  }
  if (is_sep(name[0])) {
    *why = "the name is absolute";
    return false;
  }
  const char d = name[0];
  if (name.size() >= 2 && name[1] == ':' && ((d >= 'A' && d <= 'Z') || (d >= 'a' && d <= 'z'))) {
    *why = "the name starts with a drive";
    return false;
  }
  out->folder = is_sep(name.back());

  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !is_sep(name[end])) ++end;
    const std::string_view part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (only_dots_and_spaces(part)) {
      *why = "the name has a \"..\" part";
      return false;
    }
    if (device_name(part)) {
      *why = "the name is a device";
      return false;
    }
    parts.push_back(clean_part(part, rules.space_to_underscore));
  }
  if (!rules.keep_folders) {
    if (out->folder || parts.empty()) return true;
    parts.erase(parts.begin(), parts.end() - 1);
  }
  for (const std::string& part : parts) {
    if (!out->relative.empty()) {
      out->relative += kSep;
      out->shown += '/';
    }
    out->relative += part;
    out->shown += part;
  }
  return true;
}

bool wildcard_match(std::string_view pattern, std::string_view name, bool case_sensitive) {
  const std::u32string pat = decode(pattern, case_sensitive, true);
  const std::u32string str = decode(name, case_sensitive, false);
  // Backtracks only to the last '*', which keeps the match linear in practice and never
  // exponential.
  size_t p = 0;
  size_t n = 0;
  size_t star = std::u32string::npos;
  size_t star_n = 0;
  while (n < str.size()) {
    size_t next = 0;
    if (p < pat.size() && pat[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pat.size() && element_matches(pat, p, str[n], &next)) {
      p = next;
      ++n;
    } else if (star != std::u32string::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

}  // namespace pvx::unzip
