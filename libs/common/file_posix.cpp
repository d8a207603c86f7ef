// The file layer on POSIX: UTF-8 names as they are, 64-bit offsets through off_t.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "file.h"

namespace pvx {

bool BinaryFile::open(const std::string& utf8_path, Mode mode) {
  close();
  const char* m = mode == Mode::Read ? "rb" : mode == Mode::ReadWrite ? "r+b" : "w+b";
  f_ = std::fopen(utf8_path.c_str(), m);
  if (f_) std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
  return f_ != nullptr;
}

bool BinaryFile::seek(uint64_t offset) {
  return f_ && fseeko(f_, static_cast<off_t>(offset), SEEK_SET) == 0;
}

uint64_t BinaryFile::tell() {
  return f_ ? static_cast<uint64_t>(ftello(f_)) : 0;
}

bool BinaryFile::size(uint64_t* out) {
  if (!f_ || std::fflush(f_) != 0) return false;
  struct stat st;
  if (fstat(fileno(f_), &st) != 0) return false;
  *out = static_cast<uint64_t>(st.st_size);
  return true;
}

bool BinaryFile::truncate(uint64_t length) {
  if (!f_ || std::fflush(f_) != 0) return false;
  return ftruncate(fileno(f_), static_cast<off_t>(length)) == 0;
}

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
