#include "file_id.h"

#ifdef _WIN32
#include <windows.h>

#include "codepage.h"
#else
#include <sys/stat.h>
#endif

namespace pvx::zip {

#ifdef _WIN32

FileId file_id(const std::string& utf8_path) {
  FileId id;
  // No access rights asked: this works while the file is open elsewhere, the archive included.
  HANDLE h = CreateFileW(utf8_to_wide(utf8_path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return id;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.valid = true;
  }
  CloseHandle(h);
  return id;
}

#else

FileId file_id(const std::string& utf8_path) {
  FileId id;
  struct stat st;
  if (::stat(utf8_path.c_str(), &st) != 0) return id;
  id.volume = static_cast<uint64_t>(st.st_dev);
  id.index = static_cast<uint64_t>(st.st_ino);
  id.valid = true;
  return id;
}

#endif

}  // namespace pvx::zip
