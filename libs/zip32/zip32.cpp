// The C entry points. Settings are copied per calling thread; nothing throws across here.
#include "zip32.h"

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "archive_run.h"
#include "boundary.h"
#include "codepage.h"
#include "entry_writer.h"

namespace {

struct LibraryState {
  ZipCallbackRecord callbacks{};
  pvx::zip::RunOptions options;
  pvx::zip::Workspace work;
};

LibraryState& state() {
  thread_local LibraryState s;
  return s;
}

// The add-in's print routine reads at most 4,096 bytes and a zero from one call.
constexpr size_t kPrintChunk = 4096;

void print_ansi(ZipPrintFn fn, std::string_view utf8) {
  if (!fn) return;
  const std::string text = pvx::utf8_to_ansi(utf8);
  for (size_t at = 0; at < text.size(); at += kPrintChunk) {
    std::string chunk = text.substr(at, kPrintChunk);
    fn(chunk.data(), static_cast<uint32_t>(chunk.size()));
  }
}

int level_from(char c) {
  return c >= '0' && c <= '9' ? c - '0' : 6;
}

}  // namespace

extern "C" {

PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks) {
  if (!callbacks) return 0;
  state().callbacks = *callbacks;
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options) {
  if (!options) return 0;
  try {
    pvx::zip::RunOptions o;
    o.recurse = options->recurse != 0;
    o.update = options->update != 0;
    o.level = level_from(options->level);
    if (options->root_directory) o.root = pvx::ansi_to_utf8(options->root_directory);
    state().options = std::move(o);
    return 1;
  }
  PVX_CATCH_RETURN(0, 0)
}

PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names) {
  try {
    LibraryState& st = state();
    const ZipPrintFn fn = st.callbacks.print;
    const pvx::zip::PrintSink print = [fn](std::string_view text) { print_ansi(fn, text); };
    if (!archive || !*archive || count < 0 || count > ZIP_MAX_NAMES || (count > 0 && !names)) {
      print("zip error: Invalid command arguments (archive name or name list)\n");
      return ZE_PARMS;
    }
    std::vector<std::string> list;
    for (int32_t i = 0; i < count; ++i) {
      if (!names->names[i]) {
        print("zip error: Invalid command arguments (name " + std::to_string(i) + " missing)\n");
        return ZE_PARMS;
      }
      list.push_back(pvx::ansi_to_utf8(names->names[i]));
    }
    return pvx::zip::run_archive(st.options, pvx::ansi_to_utf8(archive), list, print, st.work);
  }
  PVX_CATCH_RETURN(ZE_MEM, ZE_LOGIC)
}

}  // extern "C"
