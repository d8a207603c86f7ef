// Win32 file system over the wide-character API; the ANSI code page is the system's (CP_ACP).
#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "core/failure.h"
#include "platform/fs.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::fs {
namespace {

[[noreturn]] void raise_win32(DWORD e, const std::string& path) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
      raise(err::kFileNotFound, "File not found: " + path);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      raise(err::kPathNotFound, "Path not found: " + path);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      raise(err::kPermissionDenied, "Permission denied: " + path);
    default:
      raise(err::kPathFileAccess, "Path/File access error: " + path);
  }
}

DWORD attributes(const std::string& path) {
  if (path.empty()) return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(win::widen(path).c_str());
}

}  // namespace

bool is_file(const std::string& path) {
  const DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_folder(const std::string& path) {
  const DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void make_folder(const std::string& path) {
  if (!CreateDirectoryW(win::widen(path).c_str(), nullptr)) raise_win32(GetLastError(), path);
}

void delete_file(const std::string& path) {
  if (!DeleteFileW(win::widen(path).c_str())) raise_win32(GetLastError(), path);
}

int64_t file_length(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(win::widen(path).c_str(), GetFileExInfoStandard, &data)) {
    raise_win32(GetLastError(), path);
  }
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void rename_replace(const std::string& from, const std::string& to) {
  if (!MoveFileExW(win::widen(from).c_str(), win::widen(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    raise_win32(GetLastError(), to);
  }
}

std::vector<std::string> list_files(const std::string& folder) {
  std::vector<std::wstring> wide;
  WIN32_FIND_DATAW data;
  const pvx::win::unique_hfind find(FindFirstFileW(win::widen(folder + "\\*").c_str(), &data));
  if (!find) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES) return {};
    raise_win32(e, folder);
  }
  do {
    constexpr DWORD kSkipped =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!(data.dwFileAttributes & kSkipped)) wide.emplace_back(data.cFileName);
  } while (FindNextFileW(find.get(), &data));
  std::sort(wide.begin(), wide.end(), [](const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  });
  std::vector<std::string> names;
  for (const auto& w : wide) names.push_back(win::narrow(w));
  return names;
}

File::File(const std::string& path, const char* mode) {
  f_ = _wfopen(win::widen(path).c_str(), win::widen(mode).c_str());
  if (!f_) raise_win32(GetLastError(), path);
}

}  // namespace parvex::fs
