#include "zip_source.h"

#include <cstring>

namespace pvx::unzip {

bool FileSource::open(const std::string& utf8_path) {
  pos_ = UINT64_MAX;
  path_ = utf8_path;
  if (!file_.open(utf8_path, BinaryFile::Mode::Read)) return false;
  if (!file_.size(&size_)) {
    file_.close();
    return false;
  }
  return true;
}

bool FileSource::read_at(uint64_t offset, void* buf, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (n == 0) return true;
  if (pos_ != offset && !file_.seek(offset)) {
    pos_ = UINT64_MAX;
    return false;
  }
  if (!file_.read_exact(buf, n)) {
    pos_ = UINT64_MAX;
    return false;
  }
  pos_ = offset + n;
  return true;
}

std::unique_ptr<Source> FileSource::another() const {
  auto again = std::make_unique<FileSource>();
  // Another file under the name by now would read other bytes: the size must still match.
  if (!again->open(path_) || again->size() != size_) return nullptr;
  return again;
}

bool MemorySource::read_at(uint64_t offset, void* buf, size_t n) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
  if (n != 0) std::memcpy(buf, bytes_.data() + offset, n);
  return true;
}

}  // namespace pvx::unzip
