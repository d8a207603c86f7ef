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

// Appends text to the list under key, blank-separated.
void append(const std::string& key, const std::string& text) {
  std::string& list = store().values[key];
  if (!list.empty()) list += ' ';
  list += text;
}

void put(const std::string& key, const void* data, size_t size) {
  store().values[key].assign(static_cast<const char*>(data), size);
}

void put_text(const std::string& key, const char* text) {
  if (text) put(key, text, std::strlen(text));
}

// A count and its name list as one text: the count, then each name that is set, each followed
// by a line end; "<null>" for no list.
void put_names(const std::string& key, int32_t count, const ZipNameList* list) {
  std::string text = std::to_string(count) + "\n" + (list ? "" : "<null>");
  for (int i = 0; list && i < ZIP_MAX_NAMES; ++i) {
    if (list->names[i]) text += std::string(list->names[i]) + "\n";
  }
  put(key, text.data(), text.size());
}

// Calls the callbacks of cb as the queued cues say (recording.h tells what each records);
// returns the last cued result, else PK_OK, which is ZE_OK.
template <class Callbacks>
int32_t run_cues(Callbacks& cb) {
  int32_t result = PK_OK;
  for (const Cue& cue : std::exchange(store().cues, {})) {
    if (cue.kind == REC_RESULT) {
      result = cue.arg;
      continue;
    }
    const std::string n = std::to_string(store().answers++);
    std::vector<char> buf(cue.data.begin(), cue.data.end());
    if (cue.kind == REC_PRINT && cb.print) {
      append("answers", std::to_string(cb.print(buf.data(), static_cast<uint32_t>(cue.arg))));
    }
    if (cue.kind == REC_PASSWORD && cb.password) {
      buf.assign(static_cast<size_t>(cue.arg), 'x');
      char prompt[] = "Password", name[] = "entry";
      append("answers", std::to_string(cb.password(buf.data(), cue.arg, prompt, name)));
      put("buffer." + n, buf.data(), buf.size());
    }
#ifdef REC_ZIP32
    if (cue.kind == REC_COMMENT && cb.comment) {
      buf.resize(4097);
      const char* used = cb.comment(buf.data());
      append("answers", used == nullptr ? "0" : "1");
      if (used) put("buffer." + n, used, 4097);
    }
#endif
  }
  return result;
}

#ifdef REC_ZIP32
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
  append("calls", "ZpInit");
  if (!callbacks) return 0;
  put("ZpInit", callbacks, sizeof *callbacks);
  g_callbacks = *callbacks;
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options) {
  append("calls", "ZpSetOptions");
  if (!options) return 0;
  put("ZpSetOptions", options, sizeof *options);
  put_text("ZpSetOptions.root_directory", options->root_directory);
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names) {
  append("calls", "ZpArchive");
  put_text("ZpArchive.archive", archive);
  put_names("ZpArchive.names", count, names);
  return run_cues(g_callbacks);
}
#else
PVX_EXPORT int32_t PVX_CALL UzpVersion2(UnzipVersionRecord* version) {
  append("calls", "UzpVersion2");
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
  append("calls", "Wiz_SingleEntryUnzip");
  put_names("Wiz.ifnv", ifnc, ifnv);
  put_names("Wiz.xfnv", xfnc, xfnv);
  if (!options || !callbacks) return PK_BADERR;
  put("Wiz.options", options, sizeof *options);
  put_text("Wiz.options.ZipFileName", options->ZipFileName);
  put_text("Wiz.options.ExtractDir", options->ExtractDir);
  put("Wiz.callbacks", callbacks, sizeof *callbacks);
  callbacks->entry_count = 0;  // written by the library when it returns
  return run_cues(*callbacks);
}
#endif

}  // extern "C"
