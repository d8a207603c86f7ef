// Turning stored entry names into paths inside the target folder, and matching names against
// the caller's patterns.
#pragma once

#include <string>
#include <string_view>

namespace pvx::unzip {

// The host's name rules, in entry_path_win32.cpp or entry_path_posix.cpp.
extern const char kSep;  // between the parts of a path the library builds
// A name part that opens a device instead of a file.
bool device_name(std::string_view part);
// A character the host does not allow in names.
bool reserved_char(char c);

struct PathRules {
  bool keep_folders = true;  // false: only the last part of the name is kept
  bool space_to_underscore = false;
};

struct EntryPath {
  std::string relative;  // parts joined with kSep; empty when nothing is to be written
  std::string shown;     // the same joined with '/', for messages
  bool folder = false;   // the name ends with a separator
};

// The relative path an entry name may be written to, or false and why for a name that would
// leave the target folder (absolute, drive or UNC prefix, a ".." part) or that names a device.
// Both '/' and '\' separate parts. Control characters, and on Windows the characters it does
// not allow in names, become '_'.
bool entry_path(std::string_view utf8_name, const PathRules& rules, EntryPath* out,
                std::string* why);

// Wildcard match of a whole UTF-8 name: '*' any run (across '/' too), '?' one character,
// "[a-z]" a set ("[!..]" or "[^..]" its complement). '\' in a pattern stands for '/'.
bool wildcard_match(std::string_view pattern, std::string_view name, bool case_sensitive);

}  // namespace pvx::unzip
