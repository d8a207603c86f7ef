#include "recorder.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "recording.h"

namespace rec {
namespace {

struct Store {
  std::map<std::string, std::string> values;
  std::vector<Cue> cues;
  int answers = 0;
};

Store& store() {
  static Store s;
  return s;
}

}  // namespace

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

std::vector<Cue> take_cues() {
  std::vector<Cue> cues;
  cues.swap(store().cues);
  return cues;
}

std::string next_answer() {
  return std::to_string(store().answers++);
}

}  // namespace rec

extern "C" {

PVX_EXPORT void PVX_CALL rec_reset(void) {
  rec::store() = rec::Store{};
}

PVX_EXPORT int32_t PVX_CALL rec_get(const char* key, void* out, int32_t size) {
  const auto& values = rec::store().values;
  const auto it = values.find(key);
  if (it == values.end()) return -1;
  const size_t n = std::min(it->second.size(), static_cast<size_t>(size < 0 ? 0 : size));
  if (n) std::memcpy(out, it->second.data(), n);
  return static_cast<int32_t>(it->second.size());
}

PVX_EXPORT void PVX_CALL rec_cue(int32_t kind, const void* data, int32_t size, int32_t arg) {
  rec::store().cues.push_back(
      rec::Cue{kind, std::string(static_cast<const char*>(data), data ? size : 0), arg});
}

}  // extern "C"
