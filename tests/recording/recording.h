/* Extra exports of the recording zip and unzip libraries, resolved by name in tests. Each
   library records what it is handed (record bytes and the texts they point to) and, during
   its run, calls the callbacks as the queued cues say. */
#ifndef PVX_RECORDING_H
#define PVX_RECORDING_H

#include "pvx_abi.h"

/* Cues, acted on in the order queued during the next ZpArchive or Wiz_SingleEntryUnzip. Each
   cue that calls a callback adds its answer to "answers", blank-separated: the number returned
   (for the comment, 1 when it hands a buffer back, else 0). The n-th such cue (from 0), a comment
   or password, records the buffer after as "buffer.<n>". */
enum {
  REC_RESULT = 1,  /* the run returns arg */
  REC_PRINT = 2,   /* print with a buffer of exactly the data's bytes and the length arg */
  REC_COMMENT = 3, /* zip comment with a 4,097-byte buffer starting with the data */
  REC_PASSWORD = 4 /* password with a buffer of arg bytes, each 'x' */
};

/* Forgets what was recorded and every cue. */
typedef void(PVX_CALL* RecResetFn)(void);
/* Copies what was recorded under key into out (at most size bytes); its length, or -1. */
typedef int32_t(PVX_CALL* RecGetFn)(const char* key, void* out, int32_t size);
/* Queues a cue for the next run. */
typedef void(PVX_CALL* RecCueFn)(int32_t kind, const void* data, int32_t size, int32_t arg);

#endif
