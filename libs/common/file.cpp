#include "file.h"

#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
#include <windows.h>

#include "codepage.h"
#else
#include <dirent.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace pvx {

BinaryFile& BinaryFile::operator=(BinaryFile&& other) noexcept {
  if (this != &other) {
    close();
    f_ = other.f_;
    other.f_ = nullptr;
  }
  return *this;
}

bool BinaryFile::open(const std::string& utf8_path, Mode mode) {
  close();
  const char* m = mode == Mode::Read ? "rb" : mode == Mode::ReadWrite ? "r+b" : "w+b";
#ifdef _WIN32
  f_ = _wfopen(utf8_to_wide(utf8_path).c_str(), utf8_to_wide(m).c_str());
#else
  f_ = std::fopen(utf8_path.c_str(), m);
#endif
  if (f_) std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
  return f_ != nullptr;
}

size_t BinaryFile::read(void* buf, size_t n) {
  return f_ ? std::fread(buf, 1, n, f_) : 0;
}

bool BinaryFile::write(const void* buf, size_t n) {
  return f_ && (n == 0 || std::fwrite(buf, 1, n, f_) == n);
}

bool BinaryFile::seek(uint64_t offset) {
  if (!f_) return false;
#ifdef _WIN32
  return _fseeki64(f_, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(f_, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

uint64_t BinaryFile::tell() {
  if (!f_) return 0;
#ifdef _WIN32
  return static_cast<uint64_t>(_ftelli64(f_));
#else
  return static_cast<uint64_t>(ftello(f_));
#endif
}

bool BinaryFile::size(uint64_t* out) {
  if (!f_ || std::fflush(f_) != 0) return false;
#ifdef _WIN32
  const __int64 n = _filelengthi64(_fileno(f_));
  if (n < 0) return false;
#else
  struct stat st;
  if (fstat(fileno(f_), &st) != 0) return false;
  const auto n = st.st_size;
#endif
  *out = static_cast<uint64_t>(n);
  return true;
}

bool BinaryFile::truncate(uint64_t length) {
  if (!f_ || std::fflush(f_) != 0) return false;
#ifdef _WIN32
  return _chsize_s(_fileno(f_), static_cast<__int64>(length)) == 0;
#else
  return ftruncate(fileno(f_), static_cast<off_t>(length)) == 0;
#endif
}

bool BinaryFile::flush() {
  return f_ && std::fflush(f_) == 0;
}

bool BinaryFile::close() {
  if (!f_) return true;
  const bool ok = std::fclose(f_) == 0;
  f_ = nullptr;
  return ok;
}

#ifdef _WIN32

PathInfo stat_path(const std::string& utf8_path) {
  PathInfo info;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (utf8_path.empty() ||
      !GetFileAttributesExW(utf8_to_wide(utf8_path).c_str(), GetFileExInfoStandard, &data)) {
    return info;
  }
  info.exists = true;
  info.is_dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  info.mtime = static_cast<std::time_t>(ticks / 10000000ULL - 11644473600ULL);
  return info;
}

bool make_dir(const std::string& utf8_path) {
  if (CreateDirectoryW(utf8_to_wide(utf8_path).c_str(), nullptr)) return true;
  return stat_path(utf8_path).is_dir;
}

bool remove_file(const std::string& utf8_path) {
  return DeleteFileW(utf8_to_wide(utf8_path).c_str()) != 0;
}

bool rename_file(const std::string& from, const std::string& to) {
  return MoveFileExW(utf8_to_wide(from).c_str(), utf8_to_wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

bool set_mtime(const std::string& utf8_path, std::time_t t) {
  struct _utimbuf times {
    t, t
  };
  return _wutime(utf8_to_wide(utf8_path).c_str(), &times) == 0;
}

bool list_dir(const std::string& utf8_path, std::vector<std::pair<std::string, bool>>* out) {
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(utf8_to_wide(utf8_path + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    out->emplace_back(wide_to_utf8(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(h, &data));
  FindClose(h);
  return true;
}

#else

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

#endif

}  // namespace pvx
