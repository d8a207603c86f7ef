// The zip and unzip libraries: each is loaded by name from the add-in folder on first use and
// stays loaded for the thread (until ProgramState::reset()).
#pragma once

#include <cstdint>

#include "seams/library.h"

namespace parvex::archive {

// Raised when a library cannot be loaded ("File not found").
inline constexpr int32_t kLibraryNotFound = 53;
// Raised when a loaded library lacks an export ("Specified DLL function not found").
inline constexpr int32_t kEntryNotFound = 453;

enum class ArchiveLibrary { Zip, Unzip };

// The loaded library; raises kLibraryNotFound when it cannot be loaded (retried on next use).
const Library& archive_library(ArchiveLibrary which);

// An export of the library, loading it first; raises kLibraryNotFound or kEntryNotFound.
void* archive_entry(ArchiveLibrary which, const char* name);

template <class Fn>
Fn archive_entry_as(ArchiveLibrary which, const char* name) {
  return reinterpret_cast<Fn>(archive_entry(which, name));
}

}  // namespace parvex::archive
