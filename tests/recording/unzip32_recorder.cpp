// Recording unzip library: the exports of unzip32.h, recording what they are handed.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "recorder.h"
#include "recording.h"
#include "unzip32.h"

namespace {

void put_names(const std::string& key, ZipNameList* list) {
  rec::put_int(key + ".null", list == nullptr ? 1 : 0);
  if (!list) return;
  for (int i = 0; i < ZIP_MAX_NAMES; ++i) {
    rec::put_text(key + "." + std::to_string(i), list->names[i]);
  }
}

void run_cue(const rec::Cue& cue, UnzipCallbackRecord& cb) {
  const std::string n = rec::next_answer();
  switch (cue.kind) {
    case REC_PRINT: {
      std::vector<char> buf(cue.data.begin(), cue.data.end());
      if (cb.print) rec::put_int("answer." + n, cb.print(buf.data(), uint32_t(cue.arg)));
      break;
    }
    case REC_REPLACE: {
      std::vector<char> buf(32801, 0);
      std::copy(cue.data.begin(), cue.data.begin() + std::min<size_t>(cue.data.size(), 32800),
                buf.begin());
      if (cb.replace) rec::put_int("answer." + n, cb.replace(buf.data()));
      break;
    }
    case REC_PASSWORD: {
      std::vector<char> buf(static_cast<size_t>(cue.arg), 'x');
      char prompt[257] = "Enter password for";
      char name[257] = "secret.txt";
      if (cb.password) {
        rec::put_int("answer." + n, cb.password(buf.data(), cue.arg, prompt, name));
        rec::put("buffer." + n, buf.data(), buf.size());
      }
      break;
    }
    case REC_LIST: {
      RecListEntry e{};
      std::memcpy(&e, cue.data.data(), std::min(cue.data.size(), sizeof e));
      char method[] = "Defl:N";
      if (cb.list_entry) {
        cb.list_entry(e.size, e.size / 2, 50, e.month, e.day, e.year, e.hour, e.minute, ' ', e.name,
                      method, 0x12345678u, ' ');
        rec::put_int("answer." + n, 0);
      }
      break;
    }
    case REC_SERVICE: {
      std::vector<char> buf(cue.data.begin(), cue.data.end());
      buf.push_back(0);
      if (cb.service) {
        rec::put_int("answer." + n, cb.service(buf.data(), uint32_t(cue.data.size())));
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" {

PVX_EXPORT int32_t PVX_CALL UzpVersion2(UnzipVersionRecord* version) {
  rec::call("UzpVersion2");
  if (!version) return 1;
  rec::put("UzpVersion2", version, sizeof *version);
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
  rec::call("Wiz_SingleEntryUnzip");
  rec::put_int("Wiz.ifnc", ifnc);
  rec::put_int("Wiz.xfnc", xfnc);
  put_names("Wiz.ifnv", ifnv);
  put_names("Wiz.xfnv", xfnv);
  if (!options || !callbacks) return PK_BADERR;
  rec::put("Wiz.options", options, sizeof *options);
  rec::put_text("Wiz.options.ZipFileName", options->ZipFileName);
  rec::put_text("Wiz.options.ExtractDir", options->ExtractDir);
  rec::put("Wiz.callbacks", callbacks, sizeof *callbacks);
  int32_t result = PK_OK;
  int listed = 0;
  for (const rec::Cue& cue : rec::take_cues()) {
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

}  // extern "C"
