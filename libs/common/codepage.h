// Text conversions between UTF-8 and the single-byte code pages that zip names use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pvx {

inline constexpr unsigned kCodePage437 = 437;
inline constexpr unsigned kCodePage1252 = 1252;
inline constexpr unsigned kCodePageUtf8 = 65001;

// The ANSI code page: the system's on Windows (GetACP, which may be UTF-8), 1252 elsewhere.
unsigned ansi_code_page();
// Whether the converter takes flags and a default character for this code page: UTF-7, UTF-8,
// the ISO-2022 and ISCII pages, GB18030 and Symbol refuse them.
bool code_page_takes_flags(unsigned code_page);

// UTF-8 to a code page and back. Characters the code page cannot carry become '?' and clear
// *exact. A conversion that fails, or a code page this build has no table for, throws
// std::system_error; an empty result is never returned for a non-empty text.
std::string utf8_to_code_page(std::string_view utf8, unsigned code_page, bool* exact = nullptr);
std::string code_page_to_utf8(std::string_view text, unsigned code_page);

// The same in the ANSI code page.
std::string utf8_to_ansi(std::string_view utf8, bool* exact = nullptr);
std::string ansi_to_utf8(std::string_view ansi);
// IBM code page 437, the zip format's default for names without the UTF-8 flag.
std::string cp437_to_utf8(std::string_view cp437);
// Whether the text is well-formed UTF-8 / plain 7-bit ASCII.
bool is_utf8(std::string_view text);
bool is_ascii(std::string_view text);

// The one UTF-8 decoder: the character at text[i], or nothing for a byte that starts no
// well-formed sequence; i moves past what was read (one byte when nothing).
std::optional<char32_t> decode_utf8(std::string_view text, size_t& i);
// The same with a malformed byte read as U+FFFD.
char32_t next_utf8(std::string_view text, size_t& i);
void append_utf8(std::string& out, char32_t c);

}  // namespace pvx
