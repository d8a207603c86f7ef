// The library records' layouts as numbers written out, not taken from the structs, so that a
// change to a struct fails the build (32-bit: the original interface; 64-bit: pointer-sized
// words). The record tests build their expected bytes from these offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "unzip32.h"
#include "zip32.h"

namespace parvex::layout {

#if defined(_WIN32) && !defined(_WIN64)
inline constexpr bool kBits32 = true;
#else
inline constexpr bool kBits32 = false;
#endif
static_assert(sizeof(void*) == (kBits32 ? 4 : 8));

constexpr size_t at(size_t bits32, size_t bits64) {
  return kBits32 ? bits32 : bits64;
}

// ZipCallbackRecord
inline constexpr size_t kZipCbPrint = at(0, 0), kZipCbPassword = at(4, 8),
                        kZipCbComment = at(8, 16), kZipCbReserved = at(12, 24),
                        kZipCbSize = at(16, 32);
// ZipOptionRecord
inline constexpr size_t kZipOptRecurse = at(52, 52), kZipOptUpdate = at(72, 72),
                        kZipOptLevel = at(108, 108), kZipOptDate = at(112, 112),
                        kZipOptRoot = at(116, 120), kZipOptSize = at(120, 128);
inline constexpr size_t kZipNameListSize = at(400, 800);
// UnzipCallbackRecord
inline constexpr size_t kUzCbPrint = at(0, 0), kUzCbSound = at(4, 8), kUzCbReplace = at(8, 16),
                        kUzCbPassword = at(12, 24), kUzCbListEntry = at(16, 32),
                        kUzCbService = at(20, 40), kUzCbTotalCompressed = at(24, 48),
                        kUzCbTotal = at(28, 56), kUzCbFactor = at(32, 64), kUzCbCount = at(36, 72),
                        kUzCbCommentLength = at(40, 80), kUzCbSize = at(44, 88);
// UnzipOptionRecord: fifteen 32-bit integers from 0, then the two text addresses.
inline constexpr size_t kUzOptPrivilege = at(56, 56), kUzOptZipFileName = at(60, 64),
                        kUzOptExtractDir = at(64, 72), kUzOptSize = at(68, 80);
// UnzipVersionRecord: the same in every build.
inline constexpr size_t kUzVerBeta = 8, kUzVerDate = 18, kUzVerZlib = 38, kUzVerUnzip = 48,
                        kUzVerZipinfo = 52, kUzVerOs2 = 56, kUzVerWindll = 60, kUzVerSize = 64;

#define PVX_LAYOUT(record, field, offset) \
  static_assert(offsetof(record, field) == (offset), #record "." #field)
PVX_LAYOUT(ZipCallbackRecord, print, kZipCbPrint);
PVX_LAYOUT(ZipCallbackRecord, password, kZipCbPassword);
PVX_LAYOUT(ZipCallbackRecord, comment, kZipCbComment);
PVX_LAYOUT(ZipCallbackRecord, reserved, kZipCbReserved);
PVX_LAYOUT(ZipOptionRecord, recurse, kZipOptRecurse);
PVX_LAYOUT(ZipOptionRecord, update, kZipOptUpdate);
PVX_LAYOUT(ZipOptionRecord, level, kZipOptLevel);
PVX_LAYOUT(ZipOptionRecord, date, kZipOptDate);
PVX_LAYOUT(ZipOptionRecord, root_directory, kZipOptRoot);
PVX_LAYOUT(UnzipCallbackRecord, print, kUzCbPrint);
PVX_LAYOUT(UnzipCallbackRecord, sound, kUzCbSound);
PVX_LAYOUT(UnzipCallbackRecord, replace, kUzCbReplace);
PVX_LAYOUT(UnzipCallbackRecord, password, kUzCbPassword);
PVX_LAYOUT(UnzipCallbackRecord, list_entry, kUzCbListEntry);
PVX_LAYOUT(UnzipCallbackRecord, service, kUzCbService);
PVX_LAYOUT(UnzipCallbackRecord, total_size_compressed, kUzCbTotalCompressed);
PVX_LAYOUT(UnzipCallbackRecord, total_size, kUzCbTotal);
PVX_LAYOUT(UnzipCallbackRecord, compression_factor, kUzCbFactor);
PVX_LAYOUT(UnzipCallbackRecord, entry_count, kUzCbCount);
PVX_LAYOUT(UnzipCallbackRecord, comment_length, kUzCbCommentLength);
PVX_LAYOUT(UnzipOptionRecord, Privilege, kUzOptPrivilege);
PVX_LAYOUT(UnzipOptionRecord, ZipFileName, kUzOptZipFileName);
PVX_LAYOUT(UnzipOptionRecord, ExtractDir, kUzOptExtractDir);
PVX_LAYOUT(UnzipVersionRecord, betalevel, kUzVerBeta);
PVX_LAYOUT(UnzipVersionRecord, date, kUzVerDate);
PVX_LAYOUT(UnzipVersionRecord, zlib, kUzVerZlib);
PVX_LAYOUT(UnzipVersionRecord, unzip, kUzVerUnzip);
PVX_LAYOUT(UnzipVersionRecord, zipinfo, kUzVerZipinfo);
PVX_LAYOUT(UnzipVersionRecord, os2dll, kUzVerOs2);
PVX_LAYOUT(UnzipVersionRecord, windll, kUzVerWindll);
#undef PVX_LAYOUT
static_assert(sizeof(ZipCallbackRecord) == kZipCbSize);
static_assert(sizeof(ZipOptionRecord) == kZipOptSize);
static_assert(sizeof(ZipNameList) == kZipNameListSize);
static_assert(sizeof(UnzipCallbackRecord) == kUzCbSize);
static_assert(sizeof(UnzipOptionRecord) == kUzOptSize);
static_assert(sizeof(UnzipVersionRecord) == kUzVerSize);

// Writes value at offset, little-endian, in width bytes (a 32-bit integer or an address).
inline void put(std::string& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
template <class Fn>
void put_address(std::string& bytes, size_t offset, Fn* fn) {
  put(bytes, offset, reinterpret_cast<uintptr_t>(fn), sizeof(void*));
}

}  // namespace parvex::layout
