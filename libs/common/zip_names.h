// The one rule both libraries read stored entry names by.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pvx {

// Stored name bytes -> UTF-8: UTF-8 when the entry is flagged so (malformed bytes become
// U+FFFD) or when a non-DOS system wrote valid UTF-8; IBM code page 437 otherwise.
std::string decode_zip_name(std::string_view raw, uint16_t flags, uint16_t version_made_by);

}  // namespace pvx
