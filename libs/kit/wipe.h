// The one way a secret is overwritten before its memory is given back.
#pragma once

#include <cstddef>

namespace pvx {

// Overwrites a secret in place before its memory is given back. Through a volatile pointer: a
// plain store to memory about to be released may be left out.
inline void wipe(void* p, size_t n) noexcept {
  volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) b[i] = 0;
}
// The same for a string, left empty.
template <class Text>
requires requires(Text& t) {
  t.data();
  t.size();
  t.clear();
}
void wipe(Text& text) noexcept {
  wipe(text.data(), text.size() * sizeof(*text.data()));
  text.clear();
}

}  // namespace pvx
