// A shared library loaded by full path, kept loaded while the object lives.
#pragma once

#include <memory>
#include <string>

namespace parvex {

class Library {
 public:
  virtual ~Library() = default;
  // Address of an export, or nullptr when the library has no such export.
  virtual void* symbol(const char* name) const = 0;

  // Loads the library at path; nullptr (and *error set) when it cannot be loaded.
  static std::unique_ptr<Library> open(const std::string& path, std::string* error = nullptr);
};

// File name of a platform library from its base name: "zip32" -> zip32.dll or libzip32.so.
std::string library_file_name(const std::string& base);

}  // namespace parvex
