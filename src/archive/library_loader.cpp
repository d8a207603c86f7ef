#include "archive/library_loader.h"

#include <memory>
#include <string>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/services.h"

namespace parvex::archive {
namespace {

struct LoadedLibraries {
  std::unique_ptr<Library> zip;
  std::unique_ptr<Library> unzip;
};

}  // namespace

const Library& archive_library(ArchiveLibrary which) {
  auto& loaded = program_state<LoadedLibraries>();
  std::unique_ptr<Library>& slot = which == ArchiveLibrary::Zip ? loaded.zip : loaded.unzip;
  if (!slot) {
    // Only the copy beside the add-in: a same-named library elsewhere on the search path
    // could take different records.
    const std::string path = services().library_folder() + kPathSep +
                             library_file_name(which == ArchiveLibrary::Zip ? "zip32" : "unzip32");
    std::string detail;
    std::unique_ptr<Library> opened = Library::open(path, &detail);
    if (!opened) {
      raise(kLibraryNotFound,
            "File not found: " + path + (detail.empty() ? "" : " (" + detail + ")"));
    }
    slot = std::move(opened);
  }
  return *slot;
}

void* archive_entry(ArchiveLibrary which, const char* name) {
  void* entry = archive_library(which).symbol(name);
  if (!entry) raise(kEntryNotFound, std::string("Specified DLL function not found: ") + name);
  return entry;
}

}  // namespace parvex::archive
