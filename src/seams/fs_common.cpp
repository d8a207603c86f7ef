// The parts of the file layer that every platform shares.
#include <filesystem>

#include "codepage.h"
#include "core/failure.h"
#include "seams/fs.h"

namespace parvex::fs {

void File::write(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), f_.get()) != bytes.size()) {
    raise(err::kPathFileAccess, "Write failed");
  }
}

void File::close() {
  if (!f_) return;
  const int rc = std::fclose(f_.release());
  if (rc != 0) raise(err::kPathFileAccess, "Write failed");
}

int64_t modified_ticks(const std::string& path) {
  std::error_code error;
  const auto time = std::filesystem::last_write_time(
      std::filesystem::path(std::u8string(path.begin(), path.end())), error);
  if (error) raise(err::kPathFileAccess, "Path/File access error: " + path);
  return static_cast<int64_t>(time.time_since_epoch().count());
}

void ensure_folder(const std::string& path) {
  if (is_folder(path)) return;
  try {
    make_folder(path);
  } catch (const Failure&) {
    if (!is_folder(path)) throw;
  }
}

std::string to_ansi(std::string_view utf8, bool* exact) {
  return pvx::utf8_to_ansi(utf8, exact);
}

std::string from_ansi(std::string_view ansi) {
  return pvx::ansi_to_utf8(ansi);
}

int ansi_code(std::string_view utf8_char) {
  if (utf8_char.empty()) return -1;
  size_t end = 0;
  pvx::next_utf8(utf8_char, end);
  bool exact = true;
  const std::string a = pvx::utf8_to_ansi(utf8_char.substr(0, end), &exact);
  return exact && a.size() == 1 ? static_cast<unsigned char>(a[0]) : -1;
}

}  // namespace parvex::fs
