// The system calls under BinaryFile, in file_posix.cpp or file_win32.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "file.h"

namespace pvx::native {

using Handle = BinaryFile::Native;

Handle open(const std::string& utf8_path, BinaryFile::Mode mode);  // kClosed on failure
// Bytes read at `offset` in one call: 0 at the end of the file or on an error, and maybe fewer
// than n before it.
size_t read_at(Handle h, void* buf, size_t n, uint64_t offset);
bool write_at(Handle h, const void* buf, size_t n, uint64_t offset);  // all of it, or false
bool size(Handle h, uint64_t* out);
bool truncate(Handle h, uint64_t length);
bool close(Handle h);

}  // namespace pvx::native
