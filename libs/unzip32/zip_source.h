// Random-access input of the archive reader: an archive file, or bytes already in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "file.h"

namespace pvx::unzip {

class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Reads n bytes at offset; false when they pass the end or the read fails.
  virtual bool read_at(uint64_t offset, void* buf, size_t n) = 0;
  // A second reader of the same bytes with a position of its own, for another thread; null
  // when there is none (entries are then tested one after another).
  virtual std::unique_ptr<Source> another() const { return nullptr; }
};

class FileSource final : public Source {
 public:
  bool open(const std::string& utf8_path);
  uint64_t size() const override { return size_; }
  bool read_at(uint64_t offset, void* buf, size_t n) override;
  // The file opened again by its name: a handle of its own.
  std::unique_ptr<Source> another() const override;

 private:
  std::string path_;
  BinaryFile file_;
  uint64_t size_ = 0;
  uint64_t pos_ = UINT64_MAX;  // where the next read starts; a seek drops stdio's buffer
};

// Does not own the bytes: they must outlive the source.
class MemorySource final : public Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read_at(uint64_t offset, void* buf, size_t n) override;
  std::unique_ptr<Source> another() const override {
    return std::make_unique<MemorySource>(bytes_);
  }

 private:
  std::string_view bytes_;
};

}  // namespace pvx::unzip
