// Any bytes as an archive: listed, tested and printed by the unzip reader, with every entry
// name put through the target-folder check. The sanitizers catch memory faults; the checks
// here catch wrong answers.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "entry_path.h"
#include "unzip_engine.h"
#include "zip_directory.h"
#include "ziperrors.h"

namespace {

using namespace pvx::unzip;

uint64_t g_printed = 0;

int32_t PVX_CALL count_print(char*, uint32_t len) {
  g_printed += len;
  return 0;
}

int16_t PVX_CALL give_password(char* buf, int32_t size, char*, char*) {
  if (size < 3) return 1;
  buf[0] = 'p';
  buf[1] = 'w';
  buf[2] = '\0';
  return 0;
}

void require(bool condition) {
  if (!condition) std::abort();
}

// An accepted name must stay inside the target folder.
void check_path(const std::string& name) {
  for (const bool keep : {true, false}) {
    EntryPath p;
    std::string why;
    if (!entry_path(name, {keep, false}, &p, &why)) continue;
    const std::string& r = p.relative;
    if (r.empty()) continue;
    const bool drive =
        r.size() > 1 && r[1] == ':' && std::isalpha(static_cast<unsigned char>(r[0]));
    require(r[0] != '/' && r[0] != '\\' && !drive);
    size_t start = 0;
    while (start < r.size()) {
      const size_t end = std::min(r.find(kSep, start), r.size());
      const std::string_view part = std::string_view(r).substr(start, end - start);
      require(part != ".." && part.find_first_not_of(". ") != std::string_view::npos);
      start = end + 1;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  MemorySource src(bytes);
  Directory dir;
  read_directory(src, &dir);
  uint64_t expected = 0;
  for (const Entry& e : dir.entries) {
    check_path(e.name);
    if (!e.is_dir()) expected += e.usize;
  }

  UnzipCallbackRecord cb{};
  cb.print = &count_print;
  cb.password = &give_password;
  for (const int mode : {0, 1, 2}) {
    Job job;
    job.options.message_level = mode == 2 ? 0 : 2;
    job.options.list = mode == 0;
    job.options.test = mode == 1;
    job.options.to_print = mode == 2;
    job.options.crlf = false;
    Totals totals;
    g_printed = 0;
    const int code = run(src, job, &cb, &totals);
    // Printing reports success only when every entry gave exactly its declared bytes.
    if (mode == 2 && code == PK_OK) require(g_printed == expected);
  }
  return 0;
}
