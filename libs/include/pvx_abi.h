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

/* A word of a callback record: 32 bits on 32-bit builds, pointer-sized on 64-bit ones. */
typedef uintptr_t PvxWord;

#endif
