// Recording zip library: the exports of zip32.h, recording what they are handed.
#include <algorithm>
#include <string>
#include <vector>

#include "recorder.h"
#include "recording.h"
#include "zip32.h"

namespace {

ZipCallbackRecord g_callbacks{};

}  // namespace

extern "C" {

PVX_EXPORT int32_t PVX_CALL ZpInit(ZipCallbackRecord* callbacks) {
  rec::call("ZpInit");
  if (!callbacks) return 0;
  rec::put("ZpInit", callbacks, sizeof *callbacks);
  g_callbacks = *callbacks;
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpSetOptions(ZipOptionRecord* options) {
  rec::call("ZpSetOptions");
  if (!options) return 0;
  rec::put("ZpSetOptions", options, sizeof *options);
  rec::put_text("ZpSetOptions.date", options->date);
  rec::put_text("ZpSetOptions.root_directory", options->root_directory);
  return 1;
}

PVX_EXPORT int32_t PVX_CALL ZpArchive(int32_t count, const char* archive, ZipNameList* names) {
  rec::call("ZpArchive");
  rec::put_int("ZpArchive.count", count);
  rec::put_text("ZpArchive.archive", archive);
  if (names) {
    for (int i = 0; i < ZIP_MAX_NAMES; ++i) {
      rec::put_text("ZpArchive.name." + std::to_string(i), names->names[i]);
    }
  }
  int32_t result = ZE_OK;
  for (const rec::Cue& cue : rec::take_cues()) {
    switch (cue.kind) {
      case REC_RESULT:
        result = cue.arg;
        break;
      case REC_PRINT: {
        std::vector<char> buf(cue.data.begin(), cue.data.end());
        const std::string n = rec::next_answer();
        if (g_callbacks.print) {
          rec::put_int("answer." + n,
                       g_callbacks.print(buf.data(), static_cast<uint32_t>(cue.arg)));
        }
        break;
      }
      case REC_COMMENT: {
        std::vector<char> buf(4097, 0);
        std::copy(cue.data.begin(), cue.data.begin() + std::min<size_t>(cue.data.size(), 4097),
                  buf.begin());
        const std::string n = rec::next_answer();
        if (g_callbacks.comment) {
          const char* used = g_callbacks.comment(buf.data());
          rec::put_int("answer." + n, used == nullptr ? 0 : 1);
          if (used) rec::put("buffer." + n, used, 4097);
        }
        break;
      }
      case REC_PASSWORD: {
        std::vector<char> buf(static_cast<size_t>(cue.arg), 'x');
        char prompt[] = "Password";
        char name[] = "entry";
        const std::string n = rec::next_answer();
        if (g_callbacks.password) {
          rec::put_int("answer." + n, g_callbacks.password(buf.data(), cue.arg, prompt, name));
          rec::put("buffer." + n, buf.data(), buf.size());
        }
        break;
      }
      default:
        break;
    }
  }
  return result;
}

}  // extern "C"
