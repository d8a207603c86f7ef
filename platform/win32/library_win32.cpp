#include <windows.h>

#include "platform/library.h"
#include "text_win32.h"

namespace parvex {
namespace {

class Win32Library final : public Library {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }
  Win32Library(const Win32Library&) = delete;
  Win32Library& operator=(const Win32Library&) = delete;
  void* symbol(const char* name) const override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<Library> Library::open(const std::string& path, std::string* error) {
  // Only the library beside the add-in: never one found on the search path.
  HMODULE module = LoadLibraryExW(win::widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    if (error) *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return nullptr;
  }
  return std::make_unique<Win32Library>(module);
}

std::string library_file_name(const std::string& base) {
  return base + ".dll";
}

}  // namespace parvex
