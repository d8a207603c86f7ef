/* Result codes of the zip library (ZE_) and the unzip library (PK_/IZ_). */
#ifndef PVX_ZIPERRORS_H
#define PVX_ZIPERRORS_H

/* zip32 */
#define ZE_OK 0     /* done */
#define ZE_FORM 3   /* the existing archive is not a valid zip file */
#define ZE_MEM 4    /* out of memory */
#define ZE_LOGIC 5  /* internal failure */
#define ZE_ABORT 9  /* stopped by the caller's progress callback; archive unchanged */
#define ZE_NONE 12  /* nothing to do: no name matched a file */
#define ZE_WRITE 14 /* a write failed */
#define ZE_CREAT 15 /* the archive could not be created */
#define ZE_PARMS 16 /* bad parameters */
#define ZE_OPEN 18  /* a file could not be opened */

/* unzip32 */
#define PK_OK 0      /* every entry done */
#define PK_WARN 1    /* done, with warnings (an entry skipped or refused) */
#define PK_ERR 2     /* format error: some entries damaged */
#define PK_BADERR 3  /* severe error in the archive, or an internal failure */
#define PK_MEM 4     /* out of memory */
#define PK_NOZIP 9   /* archive not found, or not a zip file */
#define PK_FIND 11   /* no matching files */
#define PK_DISK 50   /* disk full, or a file could not be written */
#define PK_EOF 51    /* unexpected end of the archive */
#define IZ_CTRLC 80  /* cancelled by the user */
#define IZ_UNSUP 81  /* unsupported compression method or encryption */
#define IZ_BADPWD 82 /* no correct password */

#endif
