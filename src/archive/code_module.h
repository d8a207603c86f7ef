// CodeModule: the drivers that hand records to the zip and unzip libraries, the routines those
// libraries call back, and the archive engine's module state (one copy per thread).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "unzip32.h"
#include "zip32.h"

namespace parvex::CodeModule {

// Told of the file being packed, or the entry being tested or extracted: its name, then done of
// its total bytes. Called at the start and end of each and during a large one; window events
// run after each call, so it need not let them run itself. True (or a throw) stops the run:
// the zip library returns ZE_ABORT and leaves the archive as it was, the unzip library
// IZ_CTRLC.
using ProgressHook = std::function<bool(const std::string& name, uint64_t done, uint64_t total)>;

// Module state shared by ZipFiles and UnzipFiles on one thread.
struct ModuleState {
  std::string LastMessage;  // what the library printed in the latest run or extraction
  bool running = false;     // a library run is in progress (window events may run meanwhile)
  ProgressHook Progress;    // the hook of the zip run in progress, if it has one
  // The password of the send in progress (HeldPassword), its UTF-8 bytes as typed (what 7-Zip
  // derives its key from); empty when none. Archive runs encrypt only while one is held.
  std::string Password;
  // The run in progress speaks UTF-8 with its library (ZpSetUtf8, UzpSetUtf8), not ANSI.
  bool Utf8Texts = false;
  // The platform's last-error value right after the latest call into a library (0: none yet).
  uint32_t SystemError = 0;
  // Entries reported by UnzipListEntry in the current extraction, with their packed sizes:
  // whole where the library tells them through UnzipListSizes, else cut to 32 bits.
  struct ListedEntry {
    std::string name;
    uint64_t size = 0;
    uint64_t packed_size = 0;
    uint32_t crc = 0;  // CRC-32 of the entry's bytes, as the archive records it
    bool encrypted = false;
  };
  std::vector<ListedEntry> ListEntries;
  std::optional<std::pair<uint64_t, uint64_t>> NextSizes;  // for the entry listed next
};

// The calling thread's module state.
ModuleState& state();

// The fifteen integer settings of an extraction, in the order of the unzip option record.
struct UnzipIntegers {
  int16_t ExtractOnlyNewer = 0;
  int16_t SpaceToUnderScore = 0;
  int16_t PromptOverwrite = 0;
  int16_t MessageLevel = 0;
  int16_t WriteToStdOut = 0;
  int16_t TestZip = 0;
  int16_t ExtractList = 0;
  int16_t ExtractNewer = 0;
  int16_t DisplayComment = 0;
  int16_t HonorDirectories = 0;
  int16_t OverWriteFiles = 0;
  int16_t ConvertCRtoCRLF = 0;
  int16_t Verbose = 0;
  int16_t CaseSensitive = 0;
  int16_t Privilege = 0;
};

// Holds a password in the module state for its own lifetime, then wipes it: a send's
// password is never kept beyond the send.
class HeldPassword {
 public:
  // password: UTF-8, 1 to kMaxPassword bytes.
  explicit HeldPassword(const std::string& password);
  ~HeldPassword();
  HeldPassword(const HeldPassword&) = delete;
  HeldPassword& operator=(const HeldPassword&) = delete;
};

// The longest password the libraries take: their buffer of 256 less the terminating zero.
inline constexpr size_t kMaxPassword = 255;

// Keeps the zip library's worker threads for its own lifetime (ZpOpenPool), so that the runs
// of one send share them, and joins them when it ends on any path (ZpClosePool). A library
// without those exports, or one that cannot be loaded, just runs as it always did. Make and
// end it on one thread, outside any run.
class ZipPool {
 public:
  ZipPool() noexcept;
  ~ZipPool();
  ZipPool(const ZipPool&) = delete;
  ZipPool& operator=(const ZipPool&) = delete;
  bool open() const { return open_; }  // this one opened the pool (and will close it)

 private:
  bool open_ = false;
};

// Result of VBZip when ZpArchive could not be called (library or export missing).
inline constexpr int32_t kZipLibraryUnavailable = 53;

// Runs ZpInit, ZpSetOptions and ZpArchive; returns ZpArchive's result. A library that cannot
// be loaded or lacks an export is skipped (kZipLibraryUnavailable). Texts go in UTF-8 where the
// library takes them so (ZpSetUtf8), so that every name reaches the archive whole; else in ANSI.
// Raises, before any library call, for more than 100 names, a text the ANSI code page cannot
// carry when the texts go in ANSI, or a run in progress.
// With encrypt set and a password held, the entries are encrypted with a 256-bit AES key;
// without a held password they never are. `progress` (may be empty) hears of the run's files.
// level: the library's record value, 0 for its default or '0'..'9'.
int32_t VBZip(const std::vector<std::string>& names, const std::string& zip_file, int16_t recurse,
              int16_t update, const std::string& root_dir, int16_t encrypt = 0,
              const ProgressHook& progress = {}, char level = 0);

// Runs UzpVersion2 and Wiz_SingleEntryUnzip over every entry; returns the library's result.
// Any failure (library missing, text not ANSI, run in progress) is raised with the source
// "CodeModule::VBUnzip".
// `progress` (may be empty) hears of each entry tested or extracted, where the library tells
// it (UzpSetProgress).
int32_t VBUnzip(const std::string& zip_file, const std::string& extract_dir,
                const UnzipIntegers& settings, const ProgressHook& progress = {});

// Routines the libraries call back. None of them throws.
int32_t PVX_CALL ZipPrint(char* buf, uint32_t len) noexcept;
int32_t PVX_CALL ZipPassword(char* buf, int32_t size, char* prompt, char* name) noexcept;
// The progress routine of both libraries: calls the run's hook, then lets window events run.
int32_t PVX_CALL ZipProgress(const char* name, uint64_t done, uint64_t total) noexcept;
int32_t PVX_CALL UnzipPrint(char* buf, uint32_t len) noexcept;
int16_t PVX_CALL UnzipPassword(char* buf, int32_t size, char* prompt, char* name) noexcept;
void PVX_CALL UnzipListEntry(uint32_t size, uint32_t csize, uint16_t ratio, uint16_t month,
                             uint16_t day, uint16_t year, uint16_t hour, uint16_t minute, char c,
                             char* name, char* method, uint32_t crc, char crypt) noexcept;
int32_t PVX_CALL UnzipService(char* name, uint32_t len) noexcept;
void PVX_CALL UnzipListSizes(uint64_t size, uint64_t csize) noexcept;

}  // namespace parvex::CodeModule
