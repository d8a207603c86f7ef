#include <windows.h>

#include <utility>

#include "seams/library.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex {
namespace {

class Win32Library final : public Library {
 public:
  explicit Win32Library(pvx::win::unique_hmodule module) : module_(std::move(module)) {}
  void* symbol(const char* name) const override {
    return reinterpret_cast<void*>(GetProcAddress(module_.get(), name));
  }

 private:
  pvx::win::unique_hmodule module_;
};

}  // namespace

std::unique_ptr<Library> Library::open(const std::string& path, std::string* error) {
  // Only the library beside the add-in: never one found on the search path.
  pvx::win::unique_hmodule module(
      LoadLibraryExW(win::widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) {
    if (error) *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return nullptr;
  }
  return std::make_unique<Win32Library>(std::move(module));
}

std::string library_file_name(const std::string& base) {
  return base + ".dll";
}

}  // namespace parvex
