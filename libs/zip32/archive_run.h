// One ZpArchive run: resolve the names, then append the new entries after the last one and
// rewrite only the central directory, or rebuild through a temporary file when an entry is
// replaced. A run that fails leaves the archive as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pvx::zip {

struct RunOptions {
  int level = 6;  // 0 stores; 1..9 deflate
  bool recurse = false;
  bool update = false;   // replace an entry only by a newer file
  std::string root;      // UTF-8; relative names are resolved against it
  int encrypt = 0;       // 1..3: new entries are AES entries with that key strength
  std::string password;  // for encrypt; held only for the run
};

// Receives each message (UTF-8) as it is printed.
using PrintSink = std::function<void(std::string_view)>;
// Told of the file being added (its entry name, UTF-8): done of total bytes, at its start, its
// end and between its blocks. True stops the run with ZE_ABORT. Empty: nobody asks.
using ProgressSink = std::function<bool(std::string_view name, uint64_t done, uint64_t total)>;

struct Workspace;

// archive and names are UTF-8; work is reused from run to run. Returns a ZE_ code.
int32_t run_archive(const RunOptions& options, const std::string& archive,
                    const std::vector<std::string>& names, const PrintSink& print,
                    const ProgressSink& progress, Workspace& work);

}  // namespace pvx::zip
