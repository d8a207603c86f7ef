// The file layer on Win32: wide-character names, 64-bit offsets through the C runtime.
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include "codepage.h"
#include "file.h"
#include "win32_handles.h"

namespace pvx {

bool BinaryFile::open(const std::string& utf8_path, Mode mode) {
  close();
  const wchar_t* m = mode == Mode::Read ? L"rb" : mode == Mode::ReadWrite ? L"r+b" : L"w+b";
  f_ = _wfopen(utf8_to_wide(utf8_path).c_str(), m);
  if (f_) std::setvbuf(f_, nullptr, _IOFBF, 1 << 16);
  return f_ != nullptr;
}

bool BinaryFile::seek(uint64_t offset) {
  return f_ && _fseeki64(f_, static_cast<__int64>(offset), SEEK_SET) == 0;
}

uint64_t BinaryFile::tell() {
  return f_ ? static_cast<uint64_t>(_ftelli64(f_)) : 0;
}

bool BinaryFile::size(uint64_t* out) {
  if (!f_ || std::fflush(f_) != 0) return false;
  const __int64 n = _filelengthi64(_fileno(f_));
  if (n < 0) return false;
  *out = static_cast<uint64_t>(n);
  return true;
}

bool BinaryFile::truncate(uint64_t length) {
  if (!f_ || std::fflush(f_) != 0) return false;
  return _chsize_s(_fileno(f_), static_cast<__int64>(length)) == 0;
}

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
  const win::unique_hfind find(FindFirstFileW(utf8_to_wide(utf8_path + "\\*").c_str(), &data));
  if (!find) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    out->emplace_back(wide_to_utf8(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(find.get(), &data));
  return true;
}

}  // namespace pvx
