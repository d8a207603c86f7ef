#include <dlfcn.h>

#include "posix_handles.h"
#include "seams/library.h"

namespace parvex {
namespace {

class PosixLibrary final : public Library {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  void* symbol(const char* name) const override { return dlsym(handle_.get(), name); }

 private:
  pvx::posix::unique_dl handle_;
};

}  // namespace

std::unique_ptr<Library> Library::open(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = dlerror();
    return nullptr;
  }
  return std::make_unique<PosixLibrary>(handle);
}

std::string library_file_name(const std::string& base) {
  return "lib" + base + ".so";
}

}  // namespace parvex
