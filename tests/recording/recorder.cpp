// The recording zip and unzip libraries, one source built once for each (REC_ZIP32 chooses):
// the exports of zip32.h or unzip32.h, recording what they are handed and calling the
// callbacks as cued, plus rec_reset, rec_get and rec_cue.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recording.h"
#include "unzip32.h"
#include "zip32.h"

namespace {

struct Cue {
  int32_t kind;
  std::string data;
  int32_t arg;
};

struct Store {
  std::map<std::string, std::string> values;
  std::vector<Cue> cues;
  int answers = 0;
};

Store& store() {
  static Store s;
  return s;
}

// Appends name to "calls", blank-separated.
void call(const char* name) {
  std::string& calls = store().values["calls"];
  if (!calls.empty()) calls += ' ';
  calls += name;
}

void put(const std::string& key, const void* data, size_t size) {
  store().values[key].assign(static_cast<const char*>(data), size);
}

void put_int(const std::string& key, int32_t value) {
  put(key, &value, sizeof value);
}

void put_text(const std::string& key, const char* text) {
  if (text) put(key, text, std::strlen(text));
}

// Key suffix for the next cue that calls a callback: "0", "1", ...
std::string next_answer() {
  return std::to_string(store().answers++);
}

// Calls a print routine with exactly the cue's bytes and the length arg; records its answer.
template <class Fn>
void print(Fn fn, const Cue& cue, const std::string& n) {
  std::vector<char> buf(cue.data.begin(), cue.data.end());
  if (fn) put_int("answer." + n, fn(buf.data(), static_cast<uint32_t>(cue.arg)));
}

// Calls a password routine with arg bytes of 'x'; records its answer and the buffer after.
template <class Fn>
void password(Fn fn, const Cue& cue, const std::string& n) {
  std::vector<char> buf(static_cast<size_t>(cue.arg), 'x');
  char prompt[] = "Password", name[] = "entry";
  if (!fn) return;
  put_int("answer." + n, fn(buf.data(), cue.arg, prompt, name));
  put("buffer." + n, buf.data(), buf.size());
}

#ifndef REC_ZIP32
void put_names(const std::string& key, ZipNameList* list) {
  put_int(key + ".null", list == nullptr ? 1 : 0);
  if (!list) return;
  for (int i = 0; i < ZIP_MAX_NAMES; ++i) put_text(key + "." + std::to_string(i), list->names[i]);
}

void run_cue(const Cue& cue, UnzipCallbackRecord& cb) {
  const std::string n = next_answer();
  if (cue.kind == REC_PRINT) print(cb.print, cue, n);
  if (cue.kind == REC_PASSWORD) password(cb.password, cue, n);
  if (cue.kind == REC_REPLACE && cb.replace) {
    std::vector<char> buf(cue.data.begin(), cue.data.end());
    buf.resize(32801);
    put_int("answer." + n, cb.replace(buf.data()));
  }
  if (cue.kind == REC_LIST && cb.list_entry) {
    RecListEntry e{};
    std::memcpy(&e, cue.data.data(), std::min(cue.data.size(), sizeof e));
    char method[] = "Defl:N";
    cb.list_entry(e.size, e.size / 2, 50, e.month, e.day, e.year, e.hour, e.minute, ' ', e.name,
                  method, 0x12345678u, ' ');
    put_int("answer." + n, 0);
  }
  if (cue.kind == REC_SERVICE && cb.service) {
    std::vector<char> buf(cue.data.begin(), cue.data.end());
    buf.push_back(0);
    put_int("answer." + n, cb.service(buf.data(), uint32_t(cue.data.size())));
  }
}
#else
ZipCallbackRecord g_callbacks{};
#endif

}  // namespace

extern "C" {

PVX_EXPORT void PVX_CALL rec_reset(void) {
  store() = Store{};
}

PVX_EXPORT int32_t PVX_CALL rec_get(const char* key, void* out, int32_t size) {
  const auto& values = store().values;
  const auto it = values.find(key);
  if (it == values.end()) return -1;
  const size_t n = std::min(it->second.size(), static_cast<size_t>(size < 0 ? 0 : size));
  if (n) std::memcpy(out, it->second.data(), n);
  return static_cast<int32_t>(it->second.size());
}

PVX_EXPORT void PVX_CALL rec_cue(int32_t kind, const void* data, int32_t size, int32_t arg) {
  store().cues.push_back(
      Cue{kind, std::string(static_cast<const char*>(data), data ? size : 0), arg});
}

#ifdef REC_ZIP32
PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks) {
  call("ZpInit");
  if (!callbacks) return 0;
  put("ZpInit", callbacks, sizeof *callbacks);
  g_callbacks = *callbacks;
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options) {
  call("ZpSetOptions");
  if (!options) return 0;
  put("ZpSetOptions", options, sizeof *options);
  put_text("ZpSetOptions.date", options->date);
  put_text("ZpSetOptions.root_directory", options->root_directory);
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names) {
  call("ZpArchive");
  put_int("ZpArchive.count", count);
  put_text("ZpArchive.archive", archive);
  for (int i = 0; names && i < ZIP_MAX_NAMES; ++i) {
    put_text("ZpArchive.name." + std::to_string(i), names->names[i]);
  }
  int32_t result = ZE_OK;
  for (const Cue& cue : std::exchange(store().cues, {})) {
    if (cue.kind == REC_RESULT) {
      result = cue.arg;
      continue;
    }
    const std::string n = next_answer();
    if (cue.kind == REC_PRINT) print(g_callbacks.print, cue, n);
    if (cue.kind == REC_PASSWORD) password(g_callbacks.password, cue, n);
    if (cue.kind == REC_COMMENT && g_callbacks.comment) {
      std::vector<char> buf(cue.data.begin(), cue.data.end());
      buf.resize(4097);
      const char* used = g_callbacks.comment(buf.data());
      put_int("answer." + n, used == nullptr ? 0 : 1);
      if (used) put("buffer." + n, used, 4097);
    }
  }
  return result;
}
#else
PVX_EXPORT int32_t PVX_CALL UzpVersion2(UnzipVersionRecord* version) {
  call("UzpVersion2");
  if (!version) return 1;
  put("UzpVersion2", version, sizeof *version);
  // What a real library writes; the caller must not rely on any of it.
  version->flag = 2;
  std::strcpy(version->betalevel, "");
  std::strcpy(version->date, "Dec 06 2026");
  version->unzip[0] = 6;
  return 0;
}

PVX_EXPORT int32_t PVX_CALL Wiz_SingleEntryUnzip(int32_t ifnc, ZipNameList* ifnv, int32_t xfnc,
                                                 ZipNameList* xfnv, UnzipOptionRecord* options,
                                                 UnzipCallbackRecord* callbacks) {
  call("Wiz_SingleEntryUnzip");
  put_int("Wiz.ifnc", ifnc);
  put_int("Wiz.xfnc", xfnc);
  put_names("Wiz.ifnv", ifnv);
  put_names("Wiz.xfnv", xfnv);
  if (!options || !callbacks) return PK_BADERR;
  put("Wiz.options", options, sizeof *options);
  put_text("Wiz.options.ZipFileName", options->ZipFileName);
  put_text("Wiz.options.ExtractDir", options->ExtractDir);
  put("Wiz.callbacks", callbacks, sizeof *callbacks);
  int32_t result = PK_OK;
  int listed = 0;
  for (const Cue& cue : std::exchange(store().cues, {})) {
    if (cue.kind == REC_RESULT) {
      result = cue.arg;
    } else {
      listed += cue.kind == REC_LIST;
      run_cue(cue, *callbacks);
    }
  }
  callbacks->entry_count = static_cast<PvxWord>(listed);
  return result;
}
#endif

}  // extern "C"
