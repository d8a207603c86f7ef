// The platform-neutral half of the file layer; file_posix.cpp and file_win32.cpp hold the rest.
#include "file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "file_native.h"

namespace pvx {

namespace {

constexpr size_t kBuffer = 64 * 1024;
// Reads and writes this long go straight between the caller's memory and the file.
constexpr size_t kDirect = 16 * 1024;

}  // namespace

BinaryFile& BinaryFile::operator=(BinaryFile&& other) noexcept {
  if (this != &other) {
    close();
    native_ = std::exchange(other.native_, kClosed);
    pos_ = other.pos_;
    buf_ = std::move(other.buf_);
    buf_at_ = other.buf_at_;
    buf_len_ = std::exchange(other.buf_len_, 0);
    pending_ = std::exchange(other.pending_, false);
    failed_ = std::exchange(other.failed_, false);
  }
  return *this;
}

bool BinaryFile::open(const std::string& utf8_path, Mode mode) {
  close();
  if (!buf_) buf_.reset(new (std::nothrow) unsigned char[kBuffer]);
  if (!buf_) return false;
  native_ = native::open(utf8_path, mode);
  pos_ = buf_at_ = 0;
  buf_len_ = 0;
  pending_ = failed_ = false;
  return native_ != kClosed;
}

size_t BinaryFile::read(void* buf, size_t n) {
  if (native_ == kClosed || !write_pending()) return 0;
  auto* out = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    if (pos_ >= buf_at_ && pos_ - buf_at_ < buf_len_) {
      const auto from = static_cast<size_t>(pos_ - buf_at_);
      const size_t k = std::min(n - done, buf_len_ - from);
      std::memcpy(out + done, buf_.get() + from, k);
      done += k;
      pos_ += k;
    } else if (n - done >= kDirect) {
      const size_t got = native::read_at(native_, out + done, n - done, pos_);
      if (got == 0) break;
      done += got;
      pos_ += got;
    } else {
      buf_at_ = pos_;
      buf_len_ = native::read_at(native_, buf_.get(), kBuffer, pos_);
      if (buf_len_ == 0) break;
    }
  }
  return done;
}

bool BinaryFile::write(const void* buf, size_t n) {
  if (native_ == kClosed) return false;
  if (n == 0) return true;
  if (!pending_) {
    buf_len_ = 0;  // what was read may be about to change
  } else if (pos_ != buf_at_ + buf_len_ || kBuffer - buf_len_ < n) {
    if (!write_pending()) return false;
  }
  if (!pending_ && n >= kDirect) {
    if (!native::write_at(native_, buf, n, pos_)) {
      failed_ = true;
      return false;
    }
    pos_ += n;
    return true;
  }
  if (!pending_) {
    buf_at_ = pos_;
    pending_ = true;
  }
  std::memcpy(buf_.get() + buf_len_, buf, n);
  buf_len_ += n;
  pos_ += n;
  return true;
}

bool BinaryFile::write_pending() {
  if (!pending_) return true;
  pending_ = false;
  const size_t n = std::exchange(buf_len_, 0);
  if (native::write_at(native_, buf_.get(), n, buf_at_)) return true;
  failed_ = true;
  return false;
}

bool BinaryFile::seek(uint64_t offset) {
  if (native_ == kClosed) return false;
  pos_ = offset;
  return true;
}

bool BinaryFile::size(uint64_t* out) {
  return native_ != kClosed && write_pending() && native::size(native_, out);
}

bool BinaryFile::truncate(uint64_t length) {
  if (native_ == kClosed || !write_pending()) return false;
  buf_len_ = 0;
  return native::truncate(native_, length);
}

bool BinaryFile::flush() {
  return native_ != kClosed && write_pending();
}

bool BinaryFile::close() {
  if (native_ == kClosed) return true;
  bool ok = write_pending() && !failed_;
  ok = native::close(std::exchange(native_, kClosed)) && ok;
  buf_len_ = 0;
  return ok;
}

std::string temp_name_beside(const std::string& utf8_path) {
  constexpr int kNames = 1000;  // a folder full of our leftovers must not stall a run
  for (int n = 0; n < kNames; ++n) {
    std::string name = utf8_path + ".pvx" + std::to_string(n) + ".tmp";
    if (!stat_path(name).exists) return name;
  }
  return {};
}

}  // namespace pvx
