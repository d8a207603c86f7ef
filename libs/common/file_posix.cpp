// The file layer on POSIX: UTF-8 names as they are, 64-bit offsets through off_t.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "file.h"
#include "file_native.h"

namespace pvx {

namespace native {

Handle open(const std::string& utf8_path, BinaryFile::Mode mode) {
  using Mode = BinaryFile::Mode;
  const int flags = mode == Mode::Read        ? O_RDONLY
                    : mode == Mode::ReadWrite ? O_RDWR
                                              : O_RDWR | O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = ::open(utf8_path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? BinaryFile::kClosed : fd;
}

size_t read_at(Handle h, void* buf, size_t n, uint64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(static_cast<int>(h), buf, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool write_at(Handle h, const void* buf, size_t n, uint64_t offset) {
  const auto* in = static_cast<const unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t put =
        ::pwrite(static_cast<int>(h), in + done, n - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool size(Handle h, uint64_t* out) {
  struct stat st;
  if (::fstat(static_cast<int>(h), &st) != 0) return false;
  *out = static_cast<uint64_t>(st.st_size);
  return true;
}

bool truncate(Handle h, uint64_t length) {
  return ::ftruncate(static_cast<int>(h), static_cast<off_t>(length)) == 0;
}

bool close(Handle h) {
  // After EINTR the descriptor is gone on Linux: trying again could close another's.
  return ::close(static_cast<int>(h)) == 0 || errno == EINTR;
}

}  // namespace native

PathInfo stat_path(const std::string& utf8_path) {
  PathInfo info;
  struct stat st;
  if (utf8_path.empty() || ::stat(utf8_path.c_str(), &st) != 0) return info;
  info.exists = true;
  info.is_dir = S_ISDIR(st.st_mode);
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime = st.st_mtime;
  return info;
}

bool make_dir(const std::string& utf8_path) {
  if (::mkdir(utf8_path.c_str(), 0777) == 0) return true;
  return stat_path(utf8_path).is_dir;
}

bool remove_file(const std::string& utf8_path) {
  return ::unlink(utf8_path.c_str()) == 0;
}

bool rename_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool set_mtime(const std::string& utf8_path, std::time_t t) {
  const struct timeval times[2] = {{t, 0}, {t, 0}};
  return ::utimes(utf8_path.c_str(), times) == 0;
}

bool list_dir(const std::string& utf8_path, std::vector<std::pair<std::string, bool>>* out) {
  DIR* dir = ::opendir(utf8_path.c_str());
  if (!dir) return false;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    out->emplace_back(name, stat_path(utf8_path + "/" + name).is_dir);
  }
  ::closedir(dir);
  return true;
}

}  // namespace pvx
