#include <windows.h>

#include "codepage_win32.h"
#include "file_id.h"
#include "win32_handles.h"

namespace pvx::zip {

FileId file_id(const std::string& utf8_path) {
  FileId id;
  // No access rights asked: this works while the file is open elsewhere, the archive included.
  const win::unique_hfile h(CreateFileW(
      utf8_to_wide(utf8_path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return id;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h.get(), &info)) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.valid = true;
  }
  return id;
}

}  // namespace pvx::zip
