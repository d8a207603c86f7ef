// The file layer on Win32: wide-character names, 64-bit offsets through positioned reads and
// writes on a file handle.
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include <algorithm>

#include "codepage_win32.h"
#include "file.h"
#include "file_native.h"
#include "win32_handles.h"

namespace pvx {

namespace native {
namespace {

HANDLE as_handle(Handle h) {
  return reinterpret_cast<HANDLE>(h);
}

// One call moves at most this much: the counts are 32-bit.
constexpr size_t kChunk = 1u << 30;

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

}  // namespace

Handle open(const std::string& utf8_path, BinaryFile::Mode mode) {
  using Mode = BinaryFile::Mode;
  const DWORD access = mode == Mode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  // Shared as the C runtime's fopen shares: others may read and write, not delete or rename.
  const HANDLE h = CreateFileW(
      utf8_to_wide(utf8_path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      mode == Mode::Create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return reinterpret_cast<Handle>(h);  // INVALID_HANDLE_VALUE is kClosed
}

size_t read_at(Handle h, void* buf, size_t n, uint64_t offset) {
  OVERLAPPED o = at(offset);
  DWORD got = 0;
  // At the end of the file this fails with ERROR_HANDLE_EOF, or reads nothing.
  if (!ReadFile(as_handle(h), buf, static_cast<DWORD>(std::min(n, kChunk)), &got, &o)) return 0;
  return got;
}

bool write_at(Handle h, const void* buf, size_t n, uint64_t offset) {
  const auto* in = static_cast<const unsigned char*>(buf);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED o = at(offset + done);
    DWORD put = 0;
    if (!WriteFile(as_handle(h), in + done, static_cast<DWORD>(std::min(n - done, kChunk)), &put,
                   &o) ||
        put == 0) {
      return false;
    }
    done += put;
  }
  return true;
}

bool size(Handle h, uint64_t* out) {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(as_handle(h), &n)) return false;
  *out = static_cast<uint64_t>(n.QuadPart);
  return true;
}

bool truncate(Handle h, uint64_t length) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return SetFileInformationByHandle(as_handle(h), FileEndOfFileInfo, &info, sizeof info) != 0;
}

bool close(Handle h) {
  return CloseHandle(as_handle(h)) != 0;
}

}  // namespace native

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
