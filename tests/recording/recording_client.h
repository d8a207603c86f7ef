// Test-side access to the recording libraries and to the folder of the test program, beside
// which the build puts the real libraries (and the recording ones in recording/).
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/failure.h"
#include "recording/recording.h"
#include "seams/library.h"
#include "seams/services.h"

namespace parvex::testing {

// Folder of the running test program, as UTF-8 without a trailing separator.
inline std::string program_folder() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::filesystem::path exe(std::wstring(path, n));
#else
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
#endif
  const auto u8 = exe.parent_path().u8string();
  return std::string(u8.begin(), u8.end());
}

inline std::string recording_folder() {
  return program_folder() + kPathSep + "recording";
}

// One recording library, opened beside the archive engine's own handle to the same file.
class Recorder {
 public:
  explicit Recorder(const std::string& base) {
    const std::string path = recording_folder() + kPathSep + library_file_name(base);
    std::string error;
    lib_ = Library::open(path, &error);
    if (!lib_) throw std::runtime_error("cannot load " + path + ": " + error);
    reset_ = reinterpret_cast<RecResetFn>(lib_->symbol("rec_reset"));
    get_ = reinterpret_cast<RecGetFn>(lib_->symbol("rec_get"));
    cue_ = reinterpret_cast<RecCueFn>(lib_->symbol("rec_cue"));
    if (!reset_ || !get_ || !cue_) throw std::runtime_error(path + " lacks the rec_ exports");
    reset_();
  }

  // Forgets what was recorded and every cue.
  void reset() { reset_(); }

  // Bytes recorded under key, or none.
  std::string get(const std::string& key) const {
    std::string bytes(static_cast<size_t>(std::max(get_(key.c_str(), nullptr, 0), 0)), '\0');
    get_(key.c_str(), bytes.data(), static_cast<int32_t>(bytes.size()));
    return bytes;
  }
  std::string calls() const { return get("calls"); }

  void cue(int32_t kind, const std::string& data = {}, int32_t arg = 0) {
    cue_(kind, data.data(), static_cast<int32_t>(data.size()), arg);
  }

 private:
  std::unique_ptr<Library> lib_;
  RecResetFn reset_ = nullptr;
  RecGetFn get_ = nullptr;
  RecCueFn cue_ = nullptr;
};

}  // namespace parvex::testing
