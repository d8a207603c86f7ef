// Existence tests asked before something is created. A missing path is an answer, not a failure.
#pragma once

#include <string>

namespace parvex {

// True only when a file (not a folder) exists at the path.
bool FileExists(const std::string& path);
// True only when a folder exists at the path.
bool FolderExists(const std::string& path);

}  // namespace parvex
