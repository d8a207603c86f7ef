// One run of the unzip library over an archive: extract, test, list or print its entries,
// talking to the caller through the callback record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unzip32.h"
#include "zip_source.h"

namespace pvx::unzip {

struct Options {
  bool freshen = false;  // only replace existing files that are older
  bool update = false;   // extract only when newer than an existing file
  bool space_to_underscore = false;
  bool prompt_overwrite = false;
  bool overwrite = false;
  int message_level = 2;  // 0 quiet, 1 problems only, 2 every entry
  bool to_print = false;  // contents to the print routine, nothing written
  bool test = false;
  bool list = false;
  bool display_comment = false;
  bool keep_folders = true;
  bool crlf = false;
  bool verbose = false;
  bool case_sensitive = true;
};

Options options_from(const UnzipOptionRecord& record);

struct Job {
  Options options;
  std::string archive_shown;         // as the caller named the archive (ANSI or UTF-8)
  std::string target;                // UTF-8 folder; empty = the current folder
  std::vector<std::string> include;  // UTF-8 patterns; empty = every entry
  std::vector<std::string> exclude;
  UnzipListSizesFn list_sizes = nullptr;  // told each listed entry's whole sizes
  UnzipProgressFn progress = nullptr;     // told how far each decoded entry has got
  bool utf8_texts = false;                // routines get UTF-8 texts, not ANSI
};

struct Totals {
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t compressed = 0;
  uint64_t comment_length = 0;
  unsigned percent_saved() const;
};

// Runs the job over an archive already open as a source. Callbacks may be null.
int run(Source& src, const Job& job, const UnzipCallbackRecord* callbacks, Totals* totals);
// The same over the archive file at a UTF-8 path.
int run_file(const std::string& archive_utf8, const Job& job, const UnzipCallbackRecord* callbacks,
             Totals* totals);

}  // namespace pvx::unzip
