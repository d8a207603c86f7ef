// Binary file access with UTF-8 paths and 64-bit offsets, and the few folder operations the
// libraries need. No exceptions: every call reports whether it succeeded.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pvx {

// Reads and writes at a position the object keeps, through a buffer of its own: a seek costs no
// call into the system, and small reads and writes (headers, names) are gathered into one.
class BinaryFile {
 public:
  enum class Mode { Read, ReadWrite, Create };  // Create truncates or makes a new file

  BinaryFile() = default;
  BinaryFile(BinaryFile&& other) noexcept { *this = std::move(other); }
  BinaryFile& operator=(BinaryFile&& other) noexcept;
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;
  ~BinaryFile() { close(); }

  bool open(const std::string& utf8_path, Mode mode);
  explicit operator bool() const { return native_ != kClosed; }

  size_t read(void* buf, size_t n);  // bytes read; short only at the end or on error
  bool read_exact(void* buf, size_t n) { return read(buf, n) == n; }
  bool write(const void* buf, size_t n);  // all or nothing reported
  bool write(const std::string& s) { return write(s.data(), s.size()); }
  bool seek(uint64_t offset);
  uint64_t tell() const { return pos_; }
  bool size(uint64_t* out);
  bool truncate(uint64_t length);  // flushes first
  bool flush();
  bool close();  // false when a write failed, the final one included

  // A file descriptor, or a Windows HANDLE; -1 (INVALID_HANDLE_VALUE) when closed.
  using Native = std::intptr_t;
  static constexpr Native kClosed = -1;

 private:
  bool write_pending();

  Native native_ = kClosed;
  uint64_t pos_ = 0;
  std::unique_ptr<unsigned char[]> buf_;
  uint64_t buf_at_ = 0;   // where buf_[0] belongs in the file
  size_t buf_len_ = 0;    // bytes of buf_ in use
  bool pending_ = false;  // buf_ holds bytes still to be written, else bytes read
  bool failed_ = false;   // a write failed: close() reports it
};

struct PathInfo {
  bool exists = false;
  bool is_dir = false;
  uint64_t size = 0;
  std::time_t mtime = 0;
};

PathInfo stat_path(const std::string& utf8_path);
bool make_dir(const std::string& utf8_path);  // true when made or already a folder
bool remove_file(const std::string& utf8_path);
bool rename_file(const std::string& from, const std::string& to);  // replaces `to`
bool set_mtime(const std::string& utf8_path, std::time_t t);
// A name beside path for a temporary file: path + ".pvx<n>.tmp" for the first n below 1000
// that names nothing yet; empty when every one is taken.
std::string temp_name_beside(const std::string& utf8_path);
// Entries of a folder (no "." or ".."), each with whether it is a folder.
bool list_dir(const std::string& utf8_path, std::vector<std::pair<std::string, bool>>* out);

}  // namespace pvx
