// Text conversions between UTF-8 and the single-byte code pages that zip names use.
#pragma once

#include <string>
#include <string_view>

namespace pvx {

// The ANSI code page: the system's on Windows, Windows-1252 elsewhere. Characters the code
// page cannot carry become '?' and clear *exact.
std::string utf8_to_ansi(std::string_view utf8, bool* exact = nullptr);
std::string ansi_to_utf8(std::string_view ansi);
// IBM code page 437, the zip format's default for names without the UTF-8 flag.
std::string cp437_to_utf8(std::string_view cp437);
// Whether the text is well-formed UTF-8 / plain 7-bit ASCII.
bool is_utf8(std::string_view text);
bool is_ascii(std::string_view text);

// One step of UTF-8 decoding at text[i]; malformed input decodes as U+FFFD.
char32_t next_utf8(std::string_view text, size_t& i);
void append_utf8(std::string& out, char32_t c);

#ifdef _WIN32
std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);
#endif

}  // namespace pvx
