// The store shared by both recording libraries: recorded values by key, and queued cues.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rec {

struct Cue {
  int32_t kind;
  std::string data;
  int32_t arg;
};

void call(const char* name);  // appends name to "calls", blank-separated
void put(const std::string& key, const void* data, size_t size);
void put_int(const std::string& key, int32_t value);
void put_text(const std::string& key, const char* text);  // nothing when text is null
std::vector<Cue> take_cues();
// Key suffix for the next cue that calls a callback: "0", "1", ...
std::string next_answer();

}  // namespace rec
