/* The zip library: adds files to a zip archive. Texts are zero-terminated ANSI strings.
   Every call is synchronous; callbacks run on the calling thread. */
#ifndef PVX_ZIP32_H
#define PVX_ZIP32_H

#include "pvx_abi.h"
#include "ziperrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives every text the library prints; buf holds len bytes and a zero byte. Returns 0. */
typedef int32_t(PVX_CALL* ZipPrintFn)(char* buf, uint32_t len);
/* Asked for the password once per ZpArchive that has encrypt set, before anything is written:
   writes a zero-terminated password of fewer than size bytes into buf and returns 0 to give it. */
typedef int32_t(PVX_CALL* ZipPasswordFn)(char* buf, int32_t size, char* prompt, char* name);
/* Asked for an archive comment in a 4,097-byte buffer; returns the buffer to use. */
typedef char*(PVX_CALL* ZipCommentFn)(char* buf);
/* Told how far the file being added has got: name as printed (ANSI), done of its total bytes
   read. Called at the start and at the end of each file and after every block of at most
   128 KiB written in between, so that the caller can let its window events run. done never
   goes back within a file. A nonzero return stops the run: ZpArchive returns ZE_ABORT and the
   archive is as it was before the call (a new one is not left behind). */
typedef int32_t(PVX_CALL* ZipProgressFn)(const char* name, uint64_t done, uint64_t total);

typedef struct ZipCallbackRecord {
  ZipPrintFn print;
  ZipPasswordFn password;
  ZipCommentFn comment;
  ZipProgressFn progress; /* 0 = none */
} ZipCallbackRecord;

/* Options for the next ZpArchive. Integers not named here are 0 and have no effect. Offsets
   are the 32-bit ones; see pvx_abi.h for the 64-bit layout. */
typedef struct ZipOptionRecord {
  int32_t reserved_a[12];
  int32_t encrypt; /* offset 48: 0 = none; 1, 2, 3 = AES with a 128-, 192-, 256-bit key */
  int32_t recurse; /* offset 52: 1 = add the files of a named folder and its subfolders */
  int32_t reserved_b[4];
  int32_t update; /* offset 72: 1 = replace an entry only by a newer file */
  int32_t reserved_c[8];
  char level;           /* offset 108: 0 = the default level, '0'..'9' = that level */
  char* date;           /* offset 112: unused, null */
  char* root_directory; /* offset 116 (64-bit: 120): folder relative names are resolved in */
} ZipOptionRecord;

#define ZIP_MAX_NAMES 100
typedef struct ZipNameList {
  char* names[ZIP_MAX_NAMES];
} ZipNameList;

/* Sets the callbacks (copied). Returns 1 on success, 0 for a null record. */
PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks);
/* Sets the options (copied, texts included). Returns 1 on success, 0 for a null record. */
PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options);
/* Adds count names to the archive, creating it when missing. Returns a ZE_ code. */
PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names);

/* Our own entry points, beside the ones above.
   ZpOpenPool starts the worker threads that every ZpArchive on the calling thread uses until
   ZpClosePool on that thread joins them; without an open pool each ZpArchive starts and joins
   its own. The archive's bytes are the same either way. Open a pool for a series of calls and
   close it on the same thread before the thread ends or the library is unloaded: once
   ZpClosePool has returned, no thread of the library runs.
   ZpOpenPool returns 1 when it opened one, 0 when one was already open (it stays) or none
   could be started (each ZpArchive then starts its own).
   ZpClosePool returns 1 when it closed one, 0 when none was open, and -1 when called from a
   callback of a ZpArchive still running on this thread (the pool stays open). */
PVX_EXPORT int32_t PVX_CALL ZpOpenPool(void);
PVX_EXPORT int32_t PVX_CALL ZpClosePool(void);
/* Ours too: with on nonzero, every text of the calling thread's later calls is UTF-8 instead of
   ANSI, both ways: the root directory, the archive and the names given, and the texts handed to
   the print and progress routines (the password stays as typed). A name no code page carries
   reaches the archive whole. Returns the setting before the call (1 UTF-8, 0 ANSI). */
PVX_EXPORT int32_t PVX_CALL ZpSetUtf8(int32_t on);

#ifdef __cplusplus
}
#endif

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
static_assert(sizeof(ZipCallbackRecord) == 16, "ZipCallbackRecord layout");
static_assert(sizeof(ZipOptionRecord) == 120, "ZipOptionRecord layout");
static_assert(sizeof(ZipNameList) == 400, "ZipNameList layout");
#else
_Static_assert(sizeof(ZipCallbackRecord) == 16, "ZipCallbackRecord layout");
_Static_assert(sizeof(ZipOptionRecord) == 120, "ZipOptionRecord layout");
_Static_assert(sizeof(ZipNameList) == 400, "ZipNameList layout");
#endif
#endif

#endif
