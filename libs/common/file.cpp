// The platform-neutral half of the file layer; file_posix.cpp and file_win32.cpp hold the rest.
#include "file.h"

#include <string>

namespace pvx {

BinaryFile& BinaryFile::operator=(BinaryFile&& other) noexcept {
  if (this != &other) {
    close();
    f_ = other.f_;
    other.f_ = nullptr;
  }
  return *this;
}

size_t BinaryFile::read(void* buf, size_t n) {
  return f_ ? std::fread(buf, 1, n, f_) : 0;
}

bool BinaryFile::write(const void* buf, size_t n) {
  return f_ && (n == 0 || std::fwrite(buf, 1, n, f_) == n);
}

bool BinaryFile::flush() {
  return f_ && std::fflush(f_) == 0;
}

std::string temp_name_beside(const std::string& utf8_path) {
  constexpr int kNames = 1000;  // a folder full of our leftovers must not stall a run
  for (int n = 0; n < kNames; ++n) {
    std::string name = utf8_path + ".pvx" + std::to_string(n) + ".tmp";
    if (!stat_path(name).exists) return name;
  }
  return {};
}

bool BinaryFile::close() {
  if (!f_) return true;
  const bool ok = std::fclose(f_) == 0;
  f_ = nullptr;
  return ok;
}

}  // namespace pvx
