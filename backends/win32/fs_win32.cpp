// Win32 file system over the wide-character API; the ANSI code page is the system's (CP_ACP).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cwchar>

#include "core/failure.h"
#include "seams/fs.h"
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

bool reparse_point(DWORD a) {
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The handle's own attributes: opened with FILE_FLAG_OPEN_REPARSE_POINT, those of a link itself.
bool handle_is_reparse_point(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return !GetFileInformationByHandle(h, &info) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A file opened without following a reparse point, as a C stream.
std::FILE* open_no_follow(const std::string& path, const char* mode) {
  const std::string_view m(mode);
  const bool plus = m.find('+') != m.npos;
  const char kind = m.empty() ? 'r' : m[0];
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  int flags = _O_BINARY;
  if (kind == 'w') {
    access = plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    disposition = CREATE_ALWAYS;
  } else if (kind == 'a') {
    access = plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    disposition = OPEN_ALWAYS;
    flags |= _O_APPEND;
  } else if (plus) {
    access = GENERIC_READ | GENERIC_WRITE;
  }
  if (!plus) flags |= kind == 'r' ? _O_RDONLY : _O_WRONLY;
  const std::wstring wide = win::widen(path);
  // Checked before opening too: CREATE_ALWAYS would empty whatever the link stands for.
  if (reparse_point(GetFileAttributesW(wide.c_str()))) {
    raise(err::kPermissionDenied, "Permission denied: " + path + " is a link");
  }
  pvx::win::unique_hfile file(
      CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) raise_win32(GetLastError(), path);
  if (handle_is_reparse_point(file.get())) {
    raise(err::kPermissionDenied, "Permission denied: " + path + " is a link");
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), flags);
  if (fd < 0) raise(err::kPathFileAccess, "Path/File access error: " + path);
  (void)file.release();              // fd owns the handle now
  std::FILE* f = _fdopen(fd, mode);  // owns fd from here
  if (!f) {
    _close(fd);
    raise(err::kPathFileAccess, "Path/File access error: " + path);
  }
  if (kind == 'a') std::fseek(f, 0, SEEK_END);
  return f;
}

}  // namespace

bool is_link(const std::string& path) {
  return reparse_point(attributes(path));
}

bool exists_no_follow(const std::string& path) {
  return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool same_name(std::string_view a, std::string_view b) {
  const std::wstring wa = win::widen(std::string(a));
  const std::wstring wb = win::widen(std::string(b));
  return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

bool FileLock::try_lock(const std::string& path) {
  unlock();
  const std::wstring wide = win::widen(path);
  if (reparse_point(GetFileAttributesW(wide.c_str()))) {
    raise(err::kPermissionDenied, "Permission denied: " + path + " is a link");
  }
  pvx::win::unique_hfile file(
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) raise_win32(GetLastError(), path);
  if (handle_is_reparse_point(file.get())) {
    raise(err::kPermissionDenied, "Permission denied: " + path + " is a link");
  }
  OVERLAPPED at{};
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD e = GetLastError();
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) return false;
    raise_win32(e, path);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  return true;
}

void FileLock::unlock() {
  if (handle_ == kNone) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing the handle releases its lock
  handle_ = kNone;
}

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
  // A folder moves only without MOVEFILE_REPLACE_EXISTING.
  const DWORD flags = is_folder(from) ? 0 : MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (!MoveFileExW(win::widen(from).c_str(), win::widen(to).c_str(), flags)) {
    raise_win32(GetLastError(), to);
  }
}

namespace {

// Calls visit with each entry of folder, "." and ".." included; a missing folder has none.
template <class Visit>
void walk(const std::string& folder, Visit visit) {
  WIN32_FIND_DATAW data;
  const pvx::win::unique_hfind find(FindFirstFileW(win::widen(folder + "\\*").c_str(), &data));
  if (!find) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES) return;
    raise_win32(e, folder);
  }
  do visit(data);
  while (FindNextFileW(find.get(), &data));
}

}  // namespace

std::vector<std::string> list_files(const std::string& folder) {
  std::vector<std::wstring> wide;
  walk(folder, [&](const WIN32_FIND_DATAW& data) {
    constexpr DWORD kSkipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
    if (!(data.dwFileAttributes & kSkipped)) wide.emplace_back(data.cFileName);
  });
  std::sort(wide.begin(), wide.end(), [](const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  });
  std::vector<std::string> names;
  for (const auto& w : wide) names.push_back(win::narrow(w));
  return names;
}

std::vector<std::string> list_entries(const std::string& folder) {
  std::vector<std::string> names;
  walk(folder, [&](const WIN32_FIND_DATAW& data) {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(win::narrow(name));
  });
  return names;
}

File::File(const std::string& path, const char* mode, Links links) {
  if (links == Links::refuse) {
    f_.reset(open_no_follow(path, mode));
    return;
  }
  f_.reset(_wfopen(win::widen(path).c_str(), win::widen(mode).c_str()));
  if (!f_) raise_win32(GetLastError(), path);
}

}  // namespace parvex::fs
