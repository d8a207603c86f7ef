// The zip and unzip libraries linked into the one module (WebAssembly loads no library at run
// time): "loading" one by name hands out its exports from a table.
#include <cstring>
#include <string>

#include "seams/library.h"
#include "unzip32.h"
#include "zip32.h"

namespace parvex {
namespace {

struct Export {
  const char* name;
  void* address;
};

template <class Fn>
void* address(Fn* fn) {
  return reinterpret_cast<void*>(fn);
}

const Export kZip[] = {
    {"ZpInit", address(&ZpInit)},           {"ZpSetOptions", address(&ZpSetOptions)},
    {"ZpArchive", address(&ZpArchive)},     {"ZpOpenPool", address(&ZpOpenPool)},
    {"ZpClosePool", address(&ZpClosePool)}, {"ZpSetUtf8", address(&ZpSetUtf8)}};
const Export kUnzip[] = {{"UzpVersion2", address(&UzpVersion2)},
                         {"Wiz_SingleEntryUnzip", address(&Wiz_SingleEntryUnzip)},
                         {"UzpListSizes64", address(&UzpListSizes64)},
                         {"UzpSetProgress", address(&UzpSetProgress)},
                         {"UzpSetUtf8", address(&UzpSetUtf8)}};

template <size_t N>
class StaticLibrary final : public Library {
 public:
  explicit StaticLibrary(const Export (&table)[N]) : table_(table) {}
  void* symbol(const char* name) const override {
    for (const Export& e : table_) {
      if (std::strcmp(e.name, name) == 0) return e.address;
    }
    return nullptr;
  }

 private:
  const Export (&table_)[N];
};

bool ends_with(const std::string& path, const std::string& tail) {
  return path.size() >= tail.size() &&
         path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::unique_ptr<Library> Library::open(const std::string& path, std::string* error) {
  if (ends_with(path, "/" + library_file_name("zip32"))) {
    return std::make_unique<StaticLibrary<std::size(kZip)>>(kZip);
  }
  if (ends_with(path, "/" + library_file_name("unzip32"))) {
    return std::make_unique<StaticLibrary<std::size(kUnzip)>>(kUnzip);
  }
  if (error) *error = "not linked into this module";
  return nullptr;
}

std::string library_file_name(const std::string& base) {
  return "lib" + base + ".so";
}

}  // namespace parvex
