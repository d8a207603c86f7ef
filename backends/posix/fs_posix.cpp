// POSIX file system; the ANSI code page here is Windows-1252.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "codepage.h"
#include "core/failure.h"
#include "posix_handles.h"
#include "seams/fs.h"

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

bool lstat_path(const std::string& path, struct stat* st) {
  return !path.empty() && ::lstat(path.c_str(), st) == 0;
}

struct Folding {
  char32_t code;
  char32_t folded;
};
constexpr Folding kFoldings[] = {
#include "case_folding.inc"
};

char32_t fold(char32_t c) {
  const auto* end = std::end(kFoldings);
  const auto* it = std::lower_bound(std::begin(kFoldings), end, c,
                                    [](const Folding& f, char32_t v) { return f.code < v; });
  return it != end && it->code == c ? it->folded : c;
}

// The next character of UTF-8 text; a byte that starts no well-formed sequence stands alone,
// past every code point, so that it matches only the same byte.
char32_t next_char(std::string_view s, size_t& i) {
  const size_t start = i;
  const auto c = pvx::decode_utf8(s, i);
  return c ? *c : 0x110000 + static_cast<unsigned char>(s[start]);
}

int open_flags(const char* mode) {
  const std::string_view m(mode);
  const bool plus = m.find('+') != m.npos;
  switch (m.empty() ? 'r' : m[0]) {
    case 'w':
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return plus ? O_RDWR : O_RDONLY;
  }
}

// Opens without following a link or blocking: a FIFO or device planted under one of our names
// would hang the open or the reads for ever. Only a regular file is kept open (EINVAL else).
int open_regular(const std::string& path, int flags, bool follow = false) {
  pvx::posix::unique_fd fd(
      ::open(path.c_str(), flags | (follow ? 0 : O_NOFOLLOW) | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!fd) return -1;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
    fd.reset();
    errno = EINVAL;
    return -1;
  }
  return fd.release();
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

bool is_link(const std::string& path) {
  struct stat st;
  return lstat_path(path, &st) && S_ISLNK(st.st_mode);
}

bool exists_no_follow(const std::string& path) {
  struct stat st;
  return lstat_path(path, &st);
}

void make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) raise_errno(errno, path);
}

void delete_file(const std::string& path) {
  // A link goes itself, whatever it points to.
  struct stat st;
  if (lstat_path(path, &st) && S_ISDIR(st.st_mode))
    raise(err::kPermissionDenied, "Permission denied: " + path);
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
  const pvx::posix::unique_dir dir(::opendir(folder.c_str()));
  if (!dir) raise_errno(errno, folder);
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (lstat_path(folder + "/" + name, &st) && S_ISREG(st.st_mode)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  return names;
}

std::vector<std::string> list_entries(const std::string& folder) {
  std::vector<std::string> names;
  const pvx::posix::unique_dir dir(::opendir(folder.c_str()));
  if (!dir) raise_errno(errno, folder);
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool same_name(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (fold(next_char(a, i)) != fold(next_char(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

bool FileLock::try_lock(const std::string& path) {
  unlock();
  pvx::posix::unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) raise_errno(errno, path);
  // flock, not fcntl: a second descriptor of this process conflicts, and closing any other
  // descriptor of the file does not drop the lock.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e == EWOULDBLOCK) return false;
    raise_errno(e, path);
  }
  handle_ = fd.release();
  return true;
}

void FileLock::unlock() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // closing the last descriptor releases the lock
  handle_ = kNone;
}

File::File(const std::string& path, const char* mode, Links links) {
  // A link is followed only where asked; never into a pipe or device, which would block.
  if (pvx::posix::unique_fd fd(open_regular(path, open_flags(mode), links == Links::follow)); fd) {
    f_.reset(::fdopen(fd.get(), mode));
    if (f_) (void)fd.release();  // the stream owns it now
  } else if (errno == ELOOP) {
    raise(err::kPermissionDenied, "Permission denied: " + path + " is a link");
  } else if (errno == EINVAL || errno == ENXIO) {
    raise(err::kPathFileAccess, "Path/File access error: " + path + " is not a regular file");
  }
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
