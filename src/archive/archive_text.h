// Text helpers of the archive engine: case folding for list keys and the root directory, and
// the ANSI copies that go into library records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace parvex::archive {

// Number raised for a text that the ANSI code page cannot carry ("Bad file name or number").
inline constexpr int32_t kBadFileName = 52;

// Capital letters for the alphabets the ANSI code pages carry (Latin, Greek, Cyrillic).
std::string upper_case(std::string_view utf8);
// True when the texts differ at most in the case of their letters.
bool same_ignoring_case(std::string_view a, std::string_view b);

// The ANSI copy of a text for a library record; raises kBadFileName rather than letting a
// character turn into '?', which the libraries would read as a wildcard or a wrong name.
std::string ansi_copy(std::string_view utf8);

// The bytes of buf up to its first zero byte and never more than max_len, as UTF-8 text.
std::string text_from_ansi_buffer(const char* buf, size_t max_len);

}  // namespace parvex::archive
