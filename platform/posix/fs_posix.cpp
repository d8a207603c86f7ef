// POSIX file system; the ANSI code page here is Windows-1252.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/failure.h"
#include "platform/fs.h"

namespace parvex::fs {
namespace {

[[noreturn]] void raise_errno(int e, const std::string& path) {
  switch (e) {
    case ENOENT:
      raise(err::kFileNotFound, "File not found: " + path);
    case ENOTDIR:
      raise(err::kPathNotFound, "Path not found: " + path);
    case EACCES:
    case EPERM:
    case EROFS:
      raise(err::kPermissionDenied, "Permission denied: " + path);
    default:
      raise(err::kPathFileAccess, "Path/File access error: " + path + ": " + std::strerror(e));
  }
}

bool stat_path(const std::string& path, struct stat* st) {
  return !path.empty() && ::stat(path.c_str(), st) == 0;
}

}  // namespace

bool is_file(const std::string& path) {
  struct stat st;
  return stat_path(path, &st) && !S_ISDIR(st.st_mode);
}

bool is_folder(const std::string& path) {
  struct stat st;
  return stat_path(path, &st) && S_ISDIR(st.st_mode);
}

void make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) raise_errno(errno, path);
}

void delete_file(const std::string& path) {
  if (is_folder(path)) raise(err::kPermissionDenied, "Permission denied: " + path);
  if (::unlink(path.c_str()) != 0) raise_errno(errno, path);
}

int64_t file_length(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) raise_errno(errno, path);
  return static_cast<int64_t>(st.st_size);
}

void rename_replace(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) raise_errno(errno, to);
}

std::vector<std::string> list_files(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) raise_errno(errno, folder);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (is_file(folder + "/" + name)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  return names;
}

File::File(const std::string& path, const char* mode) {
  f_ = std::fopen(path.c_str(), mode);
  if (f_) return;
  const int e = errno;
  // As on Windows: a missing folder on the way is "Path not found", not "File not found".
  const auto slash = path.find_last_of('/');
  if (e == ENOENT && slash != std::string::npos && slash > 0 && !is_folder(path.substr(0, slash))) {
    raise(err::kPathNotFound, "Path not found: " + path);
  }
  raise_errno(e, path);
}

}  // namespace parvex::fs
