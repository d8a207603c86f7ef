// The library records' layouts as numbers written out, not taken from the structs, so that a
// change to a struct fails the build (32-bit: the original interface; 64-bit: pointer-sized
// words). The record tests build their expected bytes from these offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unzip32.h"
#include "zip32.h"

namespace parvex::layout {

// The offset in a build with 4-byte addresses (32-bit Windows), or in one with 8-byte ones.
constexpr size_t at(size_t bits32, size_t bits64) {
  return sizeof(void*) == 4 ? bits32 : bits64;
}

// The offsets the record tests build their expected bytes from; the rest are checked below.
inline constexpr size_t kZipCbPrint = 0, kZipCbPassword = at(4, 8), kZipCbComment = at(8, 16),
                        kZipCbProgress = at(12, 24), kZipCbSize = at(16, 32);
inline constexpr size_t kZipOptEncrypt = 48, kZipOptRecurse = 52, kZipOptUpdate = 72,
                        kZipOptLevel = 108, kZipOptRoot = at(116, 120), kZipOptSize = at(120, 128);
inline constexpr size_t kUzCbPrint = 0, kUzCbReplace = at(8, 16), kUzCbPassword = at(12, 24),
                        kUzCbListEntry = at(16, 32), kUzCbService = at(20, 40),
                        kUzCbSize = at(44, 88);
// UnzipOptionRecord: fifteen 32-bit integers from 0, then the two text addresses.
inline constexpr size_t kUzOptZipFileName = at(60, 64), kUzOptExtractDir = at(64, 72),
                        kUzOptSize = at(68, 80);

#define PVX_LAYOUT(record, field, offset) \
  static_assert(offsetof(record, field) == (offset), #record "." #field)
PVX_LAYOUT(ZipCallbackRecord, print, kZipCbPrint);
PVX_LAYOUT(ZipCallbackRecord, password, kZipCbPassword);
PVX_LAYOUT(ZipCallbackRecord, comment, kZipCbComment);
PVX_LAYOUT(ZipCallbackRecord, progress, kZipCbProgress);
PVX_LAYOUT(ZipOptionRecord, encrypt, kZipOptEncrypt);
PVX_LAYOUT(ZipOptionRecord, recurse, kZipOptRecurse);
PVX_LAYOUT(ZipOptionRecord, update, kZipOptUpdate);
PVX_LAYOUT(ZipOptionRecord, level, kZipOptLevel);
PVX_LAYOUT(ZipOptionRecord, date, 112);
PVX_LAYOUT(ZipOptionRecord, root_directory, kZipOptRoot);
PVX_LAYOUT(UnzipCallbackRecord, print, kUzCbPrint);
PVX_LAYOUT(UnzipCallbackRecord, sound, at(4, 8));
PVX_LAYOUT(UnzipCallbackRecord, replace, kUzCbReplace);
PVX_LAYOUT(UnzipCallbackRecord, password, kUzCbPassword);
PVX_LAYOUT(UnzipCallbackRecord, list_entry, kUzCbListEntry);
PVX_LAYOUT(UnzipCallbackRecord, service, kUzCbService);
PVX_LAYOUT(UnzipCallbackRecord, total_size_compressed, at(24, 48));
PVX_LAYOUT(UnzipCallbackRecord, total_size, at(28, 56));
PVX_LAYOUT(UnzipCallbackRecord, compression_factor, at(32, 64));
PVX_LAYOUT(UnzipCallbackRecord, entry_count, at(36, 72));
PVX_LAYOUT(UnzipCallbackRecord, comment_length, at(40, 80));
PVX_LAYOUT(UnzipOptionRecord, Privilege, 56);
PVX_LAYOUT(UnzipOptionRecord, ZipFileName, kUzOptZipFileName);
PVX_LAYOUT(UnzipOptionRecord, ExtractDir, kUzOptExtractDir);
PVX_LAYOUT(UnzipVersionRecord, betalevel, 8);
PVX_LAYOUT(UnzipVersionRecord, date, 18);
PVX_LAYOUT(UnzipVersionRecord, zlib, 38);
PVX_LAYOUT(UnzipVersionRecord, unzip, 48);
PVX_LAYOUT(UnzipVersionRecord, zipinfo, 52);
PVX_LAYOUT(UnzipVersionRecord, os2dll, 56);
PVX_LAYOUT(UnzipVersionRecord, windll, 60);
#undef PVX_LAYOUT
// No record test sees the name list whole. The records' sizes are checked 32-bit by the
// library headers, 64-bit by the record tests' bytes.
static_assert(sizeof(ZipNameList) == at(400, 800));

// Writes value at offset, little-endian, in width bytes (a 32-bit integer or an address).
inline void put(std::string& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
template <class Fn>
void put_address(std::string& bytes, size_t offset, Fn* fn) {
  put(bytes, offset, reinterpret_cast<uintptr_t>(fn), sizeof(void*));
}

}  // namespace parvex::layout
