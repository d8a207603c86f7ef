#include "support/probes.h"

#include "seams/fs.h"

namespace parvex {

bool FileExists(const std::string& path) {
  return fs::is_file(path);
}

bool FolderExists(const std::string& path) {
  return fs::is_folder(path);
}

}  // namespace parvex
