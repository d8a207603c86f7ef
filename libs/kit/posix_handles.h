// Owners for the POSIX handle kinds we use, one line each, over pvx::unique_any.
#pragma once

#ifdef _WIN32
#error "posix_handles.h is for POSIX builds only"
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include "unique_any.h"

namespace pvx::posix {

namespace detail {
inline void close_fd(int fd) noexcept {
  ::close(fd);
}
inline void close_library(void* handle) noexcept {
  ::dlclose(handle);
}
inline void close_dir(DIR* dir) noexcept {
  ::closedir(dir);
}
}  // namespace detail

using unique_fd = unique_any<int, &detail::close_fd, -1>;     // open, socket
using unique_dl = unique_any<void*, &detail::close_library>;  // dlopen
using unique_dir = unique_any<DIR*, &detail::close_dir>;      // opendir

}  // namespace pvx::posix
