// The C interface of the unzip library. Nothing thrown inside crosses it.
#include "unzip32.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "boundary.h"
#include "codepage.h"
#include "unzip_engine.h"

namespace {

using pvx::unzip::Job;
using pvx::unzip::Totals;

template <size_t N>
void put_text(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::strncpy(field, text, N - 1);
}

PvxWord word(uint64_t v) {
  return static_cast<PvxWord>(std::min<uint64_t>(v, UINTPTR_MAX));
}

void write_totals(UnzipCallbackRecord* cb, const Totals& t) {
  if (!cb) return;
  cb->total_size_compressed = word(t.compressed);
  cb->total_size = word(t.size);
  cb->compression_factor = t.percent_saved();
  cb->entry_count = word(t.entries);
  cb->comment_length = word(t.comment_length);
}

thread_local bool utf8_texts = false;

std::string from_caller(const char* text) {
  return utf8_texts ? std::string(text) : pvx::ansi_to_utf8(text);
}

bool names_from(int32_t count, const ZipNameList* list, std::vector<std::string>* out) {
  if (count == 0) return true;
  if (count < 0 || count > ZIP_MAX_NAMES || !list) return false;
  for (int32_t i = 0; i < count; ++i) {
    if (list->names[i] && *list->names[i]) out->push_back(from_caller(list->names[i]));
  }
  return true;
}

void say(const UnzipCallbackRecord* cb, const char* text) {
  if (!cb || !cb->print) return;
  static thread_local char buf[32801];
  put_text(buf, text);
  cb->print(buf, static_cast<uint32_t>(std::strlen(buf)));
}

}  // namespace

extern "C" {

PVX_EXPORT int32_t PVX_CALL UzpVersion2(UnzipVersionRecord* version) {
  return pvx::guard_result<int32_t>(PK_MEM, PK_BADERR, [&]() -> int32_t {
    if (!version || version->structlen != static_cast<int32_t>(sizeof(UnzipVersionRecord)))
      return 1;
    version->flag = 2;  // zip64 archives are read
    put_text(version->betalevel, "");
    put_text(version->date, PVX_UNZIP_DATE);
    put_text(version->zlib, zlibVersion());
    const unsigned char ours[4] = {PVX_UNZIP_MAJOR, PVX_UNZIP_MINOR, PVX_UNZIP_PATCH, 0};
    std::memcpy(version->unzip, ours, 4);
    std::memcpy(version->zipinfo, ours, 4);
    std::memset(version->os2dll, 0, 4);
    std::memcpy(version->windll, ours, 4);
    return 0;
  });
}

namespace {
thread_local UnzipListSizesFn list_sizes = nullptr;
thread_local UnzipProgressFn progress = nullptr;
}  // namespace

PVX_EXPORT int32_t PVX_CALL UzpListSizes64(UnzipListSizesFn sizes) {
  return pvx::guard_result<int32_t>(PK_MEM, PK_BADERR, [&]() -> int32_t {
    list_sizes = sizes;
    return 0;
  });
}

PVX_EXPORT int32_t PVX_CALL UzpSetProgress(UnzipProgressFn fn) {
  return pvx::guard_result<int32_t>(PK_MEM, PK_BADERR, [&]() -> int32_t {
    progress = fn;
    return 0;
  });
}

PVX_EXPORT int32_t PVX_CALL UzpSetUtf8(int32_t on) {
  return pvx::guard_result<int32_t>(PK_MEM, PK_BADERR, [&]() -> int32_t {
    const bool was = utf8_texts;
    utf8_texts = on != 0;
    return was ? 1 : 0;
  });
}

PVX_EXPORT int32_t PVX_CALL Wiz_SingleEntryUnzip(int32_t ifnc, ZipNameList* ifnv, int32_t xfnc,
                                                 ZipNameList* xfnv, UnzipOptionRecord* options,
                                                 UnzipCallbackRecord* callbacks) {
  Totals totals;
  bool ended = false;  // false when the run was stopped by a throw
  const int32_t code = pvx::guard_result<int32_t>(PK_MEM, PK_BADERR, [&]() -> int32_t {
    int32_t result = PK_BADERR;
    Job job;
    if (!options || !names_from(ifnc, ifnv, &job.include) ||
        !names_from(xfnc, xfnv, &job.exclude)) {
      say(callbacks, "error: invalid parameters\n");
    } else if (!options->ZipFileName || !*options->ZipFileName) {
      say(callbacks, "error: no archive named\n");
      result = PK_NOZIP;
    } else {
      job.options = pvx::unzip::options_from(*options);
      job.archive_shown = options->ZipFileName;
      job.list_sizes = list_sizes;
      job.progress = progress;
      job.utf8_texts = utf8_texts;
      if (options->ExtractDir) job.target = from_caller(options->ExtractDir);
      result = pvx::unzip::run_file(from_caller(options->ZipFileName), job, callbacks, &totals);
    }
    ended = true;
    return result;
  });
  if (!ended)
    say(callbacks, code == PK_MEM ? "error: out of memory\n" : "error: internal failure\n");
  write_totals(callbacks, totals);
  return code;
}

}  // extern "C"
