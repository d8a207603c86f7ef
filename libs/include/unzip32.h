/* The unzip library: extracts, lists or tests a zip archive. Texts are zero-terminated ANSI
   strings. Every call is synchronous; callbacks run on the calling thread. */
#ifndef PVX_UNZIP32_H
#define PVX_UNZIP32_H

#include "pvx_abi.h"
#include "zip32.h" /* ZipNameList */
#include "ziperrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives every text the library prints. Returns 0. */
typedef int32_t(PVX_CALL* UnzipPrintFn)(char* buf, uint32_t len);
/* Asked whether to replace an existing file: 100 skip it, 102 replace it, 104 skip all. */
typedef int32_t(PVX_CALL* UnzipReplaceFn)(char* name);
/* Asked for a password into buf (size bytes): 0 = buf holds one, 1 = none given. */
typedef int16_t(PVX_CALL* UnzipPasswordFn)(char* buf, int32_t size, char* prompt, char* name);
/* One listed entry (ExtractList 1), or one that tested good (TestZip 1), with the size and
   CRC of its decoded bytes: an AE-2 entry records no CRC of its own. */
typedef void(PVX_CALL* UnzipListEntryFn)(uint32_t size, uint32_t csize, uint16_t ratio,
                                         uint16_t month, uint16_t day, uint16_t year, uint16_t hour,
                                         uint16_t minute, char c, char* name, char* method,
                                         uint32_t crc, char crypt);
/* The whole sizes of one listed entry, told just before the list routine gets them cut to 32
   bits (it shows 0xFFFFFFFF for 4 GiB and more). */
typedef void(PVX_CALL* UnzipListSizesFn)(uint64_t size, uint64_t csize);
/* Told how far the entry being tested, extracted or printed has got: name as printed (ANSI),
   done of its total decoded bytes. Called at its start and its end and, for a large entry,
   at least every 1 MiB decoded or 20 ms; done never goes back within an entry. Always on the
   calling thread. A nonzero answer cancels the run (IZ_CTRLC); a file being extracted is
   then not written. */
typedef int32_t(PVX_CALL* UnzipProgressFn)(const char* name, uint64_t done, uint64_t total);
/* Told of each entry before it is treated; a nonzero answer cancels the run. */
typedef int32_t(PVX_CALL* UnzipServiceFn)(char* name, uint32_t len);

typedef struct UnzipCallbackRecord {
  UnzipPrintFn print;
  PvxWord sound; /* 0 */
  UnzipReplaceFn replace;
  UnzipPasswordFn password;
  UnzipListEntryFn list_entry;
  UnzipServiceFn service;
  /* Written by the library when it returns: */
  PvxWord total_size_compressed;
  PvxWord total_size;
  PvxWord compression_factor; /* percent saved */
  PvxWord entry_count;
  PvxWord comment_length;
} UnzipCallbackRecord;

typedef struct UnzipOptionRecord {
  int32_t ExtractOnlyNewer;  /* 1 = only replace existing files that are older (freshen) */
  int32_t SpaceToUnderScore; /* 1 = blanks in names become underscores */
  int32_t PromptOverwrite;   /* 1 = ask through the replace routine */
  int32_t MessageLevel;      /* 0 quiet, 1 errors only, 2 and above every entry */
  int32_t WriteToStdOut;     /* 1 = hand the contents to the print routine, write nothing */
  int32_t TestZip;           /* 1 = test CRCs, write nothing */
  int32_t ExtractList;       /* 0 = extract, 1 = list through the list routine */
  int32_t ExtractNewer;      /* 1 = extract only when newer than an existing file (update) */
  int32_t DisplayComment;    /* 1 = print the archive comment */
  int32_t HonorDirectories;  /* 1 = keep stored folders, 0 = flatten */
  int32_t OverWriteFiles;    /* 1 = overwrite without asking */
  int32_t ConvertCRtoCRLF;   /* 1 = line ends of text entries become CR LF */
  int32_t Verbose;           /* 1 = longer messages */
  int32_t CaseSensitive;     /* 1 = name patterns match with case */
  int32_t Privilege;         /* unused here */
  char* ZipFileName;         /* the archive */
  char* ExtractDir;          /* target folder; empty = current folder */
} UnzipOptionRecord;

typedef struct UnzipVersionRecord {
  int32_t structlen; /* 64 */
  int32_t flag;      /* written: 1 = a beta build, 2 = zip64 capable */
  char betalevel[10];
  char date[20];
  char zlib[10];            /* zlib's version; not "zlib_version", which zlib.h makes a macro */
  unsigned char unzip[4];   /* major, minor, patch, 0 */
  unsigned char zipinfo[4]; /* the same for the listing */
  unsigned char os2dll[4];
  unsigned char windll[4];
} UnzipVersionRecord;

/* Writes the library's version into the record. Returns 0, or 1 for a bad record. */
PVX_EXPORT int32_t PVX_CALL UzpVersion2(UnzipVersionRecord* version);
/* Sets the sizes routine for the calling thread's later runs; 0 removes it. Returns 0. An
   entry point of ours: the records above keep their layout. */
PVX_EXPORT int32_t PVX_CALL UzpListSizes64(UnzipListSizesFn sizes);
/* Sets the progress routine for the calling thread's later runs; 0 removes it. Returns 0.
   Ours too. */
PVX_EXPORT int32_t PVX_CALL UzpSetProgress(UnzipProgressFn progress);
/* Ours too: with on nonzero, every text of the calling thread's later runs is UTF-8 instead of
   ANSI, both ways: the archive, target folder and names in the records, and the texts handed
   to every routine (names listed, printed, asked about). Returns the setting before (1 or 0). */
PVX_EXPORT int32_t PVX_CALL UzpSetUtf8(int32_t on);
/* Treats the archive named in options: every entry when ifnc and xfnc are 0, else the
   ifnc names of ifnv less the xfnc names of xfnv. Returns a PK_/IZ_ code. */
PVX_EXPORT int32_t PVX_CALL Wiz_SingleEntryUnzip(int32_t ifnc, ZipNameList* ifnv, int32_t xfnc,
                                                 ZipNameList* xfnv, UnzipOptionRecord* options,
                                                 UnzipCallbackRecord* callbacks);

#ifdef __cplusplus
}
#endif

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
static_assert(sizeof(UnzipCallbackRecord) == 44, "UnzipCallbackRecord layout");
static_assert(sizeof(UnzipOptionRecord) == 68, "UnzipOptionRecord layout");
static_assert(sizeof(UnzipVersionRecord) == 64, "UnzipVersionRecord layout");
#else
_Static_assert(sizeof(UnzipCallbackRecord) == 44, "UnzipCallbackRecord layout");
_Static_assert(sizeof(UnzipOptionRecord) == 68, "UnzipOptionRecord layout");
_Static_assert(sizeof(UnzipVersionRecord) == 64, "UnzipVersionRecord layout");
#endif
#endif

#ifdef __cplusplus
static_assert(sizeof(UnzipVersionRecord) == 64, "UnzipVersionRecord layout");
#endif

#endif
