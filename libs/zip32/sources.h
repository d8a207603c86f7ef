// Turns the names handed to ZpArchive into the files and folders to store, and their entry names.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace pvx::zip {

struct Source {
  std::string path;    // UTF-8, as opened
  std::string stored;  // entry name, UTF-8 with '/' between folders; a folder's ends with '/'
  bool is_dir = false;
  uint64_t size = 0;
  std::time_t mtime = 0;
};

// The host's path rules, in sources_win32.cpp or sources_posix.cpp.
// Separator the library puts between a folder and a name when it builds a path.
extern const char kSep;
bool is_separator(char c);
// The name without a leading drive letter, where the host has drives.
std::string_view without_drive(std::string_view name);
// What two entry names are compared by: equal keys name one file on the host.
std::string name_key(std::string_view name);
bool is_absolute(const std::string& name);
// The entry name for a name given as is: an absolute one keeps its last part only; a
// relative one keeps its folders, without drive, leading separators, "." or ".." parts.
std::string stored_name(const std::string& name);

// Appends what `name` denotes (resolved against `root` when relative). False when it names
// nothing. Folders that cannot be listed go to *unreadable.
bool collect_sources(const std::string& name, const std::string& root, bool recurse,
                     std::vector<Source>* out, std::vector<std::string>* unreadable);

}  // namespace pvx::zip
