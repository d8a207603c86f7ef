/* Calling convention and export marker shared by the zip32 and unzip32 interfaces. */
#ifndef PVX_ABI_H
#define PVX_ABI_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define PVX_CALL __stdcall /* 32-bit Windows: stdcall, exported undecorated through a .def */
#else
#define PVX_CALL
#endif

#if defined(_WIN32)
#define PVX_EXPORT
#else
#define PVX_EXPORT __attribute__((visibility("default")))
#endif

/* Record layouts. 32-bit Windows builds have the original interface's layout: every address
   and word 4 bytes, at the offsets written in zip32.h and unzip32.h. 64-bit builds (Windows
   and Linux) keep the field order with 8-byte addresses and words, so every offset after the
   first address moves: ZipCallbackRecord 0/8/16/24 (size 32), ZipOptionRecord root_directory
   at 120 (size 128), ZipNameList 800 bytes, UnzipCallbackRecord 8 bytes a field (size 88),
   UnzipOptionRecord ZipFileName at 64 and ExtractDir at 72 (size 80). UnzipVersionRecord is
   the same in both. tests/record_layout.h checks every offset of the build it is compiled in. */

/* A word of a callback record: 32 bits on 32-bit builds, pointer-sized on 64-bit ones. */
typedef uintptr_t PvxWord;

#endif
