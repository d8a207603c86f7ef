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

// Windows-1252 codes 0x80..0x9F; 0 marks the five unassigned codes.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 character at s[i], advancing i; malformed bytes decode as U+FFFD.
char32_t next_utf8(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  const int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra == 0) {
    ++i;
    return b;
  }
  if (extra < 0 || i + extra >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = b & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  i += extra + 1;
  return c;
}

int cp1252_code(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int k = 0; k < 32; ++k) {
    if (kCp1252High[k] == c && c != 0) return 0x80 + k;
  }
  return -1;
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
  if (!f_) raise_errno(errno, path);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (f_) std::fclose(f_);
    f_ = other.f_;
    other.f_ = nullptr;
  }
  return *this;
}

File::~File() {
  if (f_) std::fclose(f_);
}

void File::write(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), f_) != bytes.size()) {
    raise(err::kPathFileAccess, "Write failed");
  }
}

void File::close() {
  if (!f_) return;
  const int rc = std::fclose(f_);
  f_ = nullptr;
  if (rc != 0) raise(err::kPathFileAccess, "Write failed");
}

std::string to_ansi(std::string_view utf8, bool* exact) {
  std::string out;
  out.reserve(utf8.size());
  if (exact) *exact = true;
  for (size_t i = 0; i < utf8.size();) {
    const int code = cp1252_code(next_utf8(utf8, i));
    if (code < 0) {
      out += '?';
      if (exact) *exact = false;
    } else {
      out += static_cast<char>(code);
    }
  }
  return out;
}

std::string from_ansi(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (const char ch : ansi) {
    const auto b = static_cast<unsigned char>(ch);
    char32_t c = b;
    if (b >= 0x80 && b < 0xA0) c = kCp1252High[b - 0x80] ? kCp1252High[b - 0x80] : b;
    append_utf8(out, c);
  }
  return out;
}

int ansi_code(std::string_view utf8_char) {
  if (utf8_char.empty()) return -1;
  size_t i = 0;
  return cp1252_code(next_utf8(utf8_char, i));
}

}  // namespace parvex::fs
