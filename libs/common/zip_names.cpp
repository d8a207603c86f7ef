#include "zip_names.h"

#include "codepage.h"
#include "le.h"

namespace pvx {
namespace {

bool dos_host(uint16_t version_made_by) {
  const int host = version_made_by >> 8;
  return host == 0 || host == 6 || host == 11 || host == 14;  // FAT, HPFS, NTFS, VFAT
}

std::string sanitize_utf8(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) append_utf8(out, next_utf8(text, i));
  return out;
}

}  // namespace

std::string decode_zip_name(std::string_view raw, uint16_t flags, uint16_t version_made_by) {
  if (flags & kFlagUtf8) return is_utf8(raw) ? std::string(raw) : sanitize_utf8(raw);
  if (!dos_host(version_made_by) && is_utf8(raw)) return std::string(raw);
  return cp437_to_utf8(raw);
}

}  // namespace pvx
