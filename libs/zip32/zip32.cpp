// The C entry points. Settings are copied per calling thread; nothing throws across here.
#include "zip32.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "archive_run.h"
#include "boundary.h"
#include "codepage.h"
#include "crypto.h"
#include "entry_writer.h"
#include "unique_any.h"

namespace {

struct LibraryState {
  ZipCallbackRecord callbacks{};
  pvx::zip::RunOptions options;
  pvx::zip::Workspace work;
  bool running = false;  // a ZpArchive is under way: its callbacks may call back in
  bool utf8 = false;     // texts in and out are UTF-8 (ZpSetUtf8), not ANSI
};

LibraryState& state() {
  thread_local LibraryState s;
  return s;
}

// The add-in's print routine reads at most 4,096 bytes and a zero from one call.
constexpr size_t kPrintChunk = 4096;

// A text of the caller's: UTF-8 as it is, or ANSI converted.
std::string from_caller(const char* text) {
  return state().utf8 ? std::string(text) : pvx::ansi_to_utf8(text);
}
std::string to_caller(std::string_view utf8) {
  return state().utf8 ? std::string(utf8) : pvx::utf8_to_ansi(utf8);
}

void print_text(ZipPrintFn fn, std::string_view utf8) {
  if (!fn) return;
  const std::string text = to_caller(utf8);
  for (size_t at = 0; at < text.size(); at += kPrintChunk) {
    std::string chunk = text.substr(at, kPrintChunk);
    fn(chunk.data(), static_cast<uint32_t>(chunk.size()));
  }
}

int level_from(char c) {
  return c >= '0' && c <= '9' ? c - '0' : 6;
}

// The caller's password buffer: 256 bytes and a zero the callback cannot overwrite.
constexpr int32_t kPasswordSize = 256;

// Asks the password callback once; false when it gives none.
bool ask_password(const ZipCallbackRecord& cb, const char* archive, std::string* out) {
  if (!cb.password) return false;
  char buf[kPasswordSize + 1] = {};
  char prompt[] = "Enter password: ";
  std::string name(archive);
  const int32_t answer = cb.password(buf, kPasswordSize, prompt, name.data());
  buf[kPasswordSize] = '\0';
  if (answer == 0) *out = buf;
  pvx::wipe(buf, sizeof buf);
  return answer == 0 && !out->empty();
}

// The caller's progress routine behind the run's sink: names go out as the caller's texts,
// converted once a file.
pvx::zip::ProgressSink progress_sink(ZipProgressFn fn) {
  if (!fn) return {};
  return [fn, utf8 = std::string(), ansi = std::string()](std::string_view name, uint64_t done,
                                                          uint64_t total) mutable {
    if (name != utf8) {
      utf8 = name;
      ansi = to_caller(name);
    }
    return fn(ansi.c_str(), done, total) != 0;
  };
}

}  // namespace

extern "C" {

PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks) {
  return pvx::guard_result(0, 0, [&] {
    if (!callbacks) return 0;
    state().callbacks = *callbacks;
    return 1;
  });
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options) {
  return pvx::guard_result(0, 0, [&] {
    if (!options) return 0;
    pvx::zip::RunOptions o;
    o.recurse = options->recurse != 0;
    o.update = options->update != 0;
    o.level = level_from(options->level);
    o.encrypt = options->encrypt;
    if (options->root_directory) o.root = from_caller(options->root_directory);
    state().options = std::move(o);
    return 1;
  });
}

PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names) {
  return pvx::guard_result<int32_t>(ZE_MEM, ZE_LOGIC, [&]() -> int32_t {
    LibraryState& st = state();
    if (st.running) return ZE_LOGIC;  // called again from one of its own callbacks
    st.running = true;
    const pvx::scope_exit ended([&] { st.running = false; });
    const ZipPrintFn fn = st.callbacks.print;
    const pvx::zip::ProgressSink progress = progress_sink(st.callbacks.progress);
    const pvx::zip::PrintSink print = [fn](std::string_view text) { print_text(fn, text); };
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
      list.push_back(from_caller(names->names[i]));
    }
    if (st.options.encrypt == 0) {
      return pvx::zip::run_archive(st.options, from_caller(archive), list, print, progress,
                                   st.work);
    }
    if (st.options.encrypt < 1 || st.options.encrypt > 3) {
      print("zip error: Invalid command arguments (unknown encryption)\n");
      return ZE_PARMS;
    }
    pvx::zip::RunOptions run = st.options;
    const pvx::scope_exit wipe_password(
        [&] { pvx::wipe(run.password.data(), run.password.size()); });
    if (!ask_password(st.callbacks, archive, &run.password)) {
      print("zip error: Invalid command arguments (no password given)\n");
      return ZE_PARMS;
    }
    return pvx::zip::run_archive(run, from_caller(archive), list, print, progress, st.work);
  });
}

PVX_EXPORT int32_t PVX_CALL ZpSetUtf8(int32_t on) {
  return pvx::guard_result<int32_t>(0, 0, [&]() -> int32_t {
    const bool was = state().utf8;
    state().utf8 = on != 0;
    return was ? 1 : 0;
  });
}

PVX_EXPORT int32_t PVX_CALL ZpOpenPool(void) {
  return pvx::guard_result<int32_t>(0, 0, [&]() -> int32_t {
    LibraryState& st = state();
    if (st.work.pool) return 0;
    st.work.pool = std::make_unique<pvx::zip::ThreadPool>(pvx::zip::ThreadPool::default_size());
    return 1;
  });
}

PVX_EXPORT int32_t PVX_CALL ZpClosePool(void) {
  return pvx::guard_result<int32_t>(0, 0, [&]() -> int32_t {
    LibraryState& st = state();
    if (st.running) return -1;  // its packer may hold the workers
    if (!st.work.pool) return 0;
    st.work.pool.reset();  // joins the workers
    return 1;
  });
}

}  // extern "C"
