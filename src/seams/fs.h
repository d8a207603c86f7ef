// File system and ANSI code page, implemented once per platform. Paths are UTF-8 text, used as
// given (no normalisation); failures raise parvex::Failure with the runtime numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "unique_any.h"

namespace parvex::fs {

bool is_file(const std::string& path);           // a file (not a folder) exists there
bool is_folder(const std::string& path);         // a folder exists there
bool is_link(const std::string& path);           // a symbolic link or reparse point, not followed
bool exists_no_follow(const std::string& path);  // anything there, a dangling link included
void make_folder(const std::string& path);       // one level
// Makes the folder unless one is there; another process making it this moment is no failure.
void ensure_folder(const std::string& path);
void delete_file(const std::string& path);                            // fails when missing
int64_t file_length(const std::string& path);                         // fails when missing
void rename_replace(const std::string& from, const std::string& to);  // atomic where possible
// When the file last changed, in the file system's ticks: only for comparing two files.
int64_t modified_ticks(const std::string& path);
// Bare names of the plain files in a folder, sorted without regard to case; folders, links,
// and on Windows hidden and system files, are left out. Raises when the folder cannot be listed.
std::vector<std::string> list_files(const std::string& folder);
// Every name in a folder: files, folders and links alike, unsorted.
std::vector<std::string> list_entries(const std::string& folder);

// Whether the file system takes two names for one: ordinal ignore-case comparison on Windows,
// Unicode simple case folding elsewhere.
bool same_name(std::string_view a, std::string_view b);

// An exclusive lock on one file, held until released or until the process ends. Two holders
// in one process exclude each other as two processes do.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { unlock(); }
  // Opens (creating, never through a link) and locks path without waiting. False when another
  // holder has it; raises when the file cannot be opened.
  bool try_lock(const std::string& path);
  void unlock();
  bool held() const { return handle_ != kNone; }

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a descriptor, or a HANDLE on Windows
};

// Whether an opened file may be a link: files of the add-in folder are opened refusing them,
// so a planted link cannot lead a read or write elsewhere.
enum class Links { follow, refuse };

// An open C stream; closes on destruction. Mode as for fopen ("rb", "wb", "ab").
class File {
 public:
  File() = default;
  // Raises on failure; with Links::refuse also when path is a link.
  File(const std::string& path, const char* mode, Links links = Links::follow);

  explicit operator bool() const { return static_cast<bool>(f_); }
  std::FILE* get() const { return f_.get(); }
  void write(std::string_view bytes);  // raises on a short write
  void close();                        // raises when the flush fails

 private:
  pvx::unique_file f_;
};

// The single-byte code page used in files and library records: the system ANSI code page on
// Windows, Windows-1252 elsewhere. A character the code page cannot carry becomes '?', and
// *exact (when given) is set false.
std::string to_ansi(std::string_view utf8, bool* exact = nullptr);
std::string from_ansi(std::string_view ansi);
// The ANSI code of one character given as UTF-8 (the first character of the text), or -1.
int ansi_code(std::string_view utf8_char);

}  // namespace parvex::fs
