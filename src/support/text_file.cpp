#include "support/text_file.h"

#include <cstdio>

#include "core/failure.h"

namespace parvex {
namespace {

constexpr int32_t kBadFileMode = 54;  // reading a file opened for writing, or the reverse

const char* fopen_mode(OpenMode mode) {
  switch (mode) {
    case OpenMode::Input:
      return "rb";
    case OpenMode::Output:
      return "wb";
    case OpenMode::Append:
      return "ab";
  }
  return "rb";
}

}  // namespace

TextFile::TextFile(const std::string& path, OpenMode mode)
    : file_(path, fopen_mode(mode), fs::Links::refuse), mode_(mode) {}

void TextFile::require(OpenMode wanted) const {
  if (!file_) raise(err::kPathFileAccess, "Path/File access error: the file is closed");
  const bool reading = mode_ == OpenMode::Input;
  if (reading != (wanted == OpenMode::Input)) raise(kBadFileMode, "Bad file mode");
}

void TextFile::print_line(std::string_view text) {
  require(OpenMode::Output);
  std::string bytes = fs::to_ansi(text);
  bytes += "\r\n";
  file_.write(bytes);
}

std::string TextFile::line_input() {
  require(OpenMode::Input);
  std::FILE* f = file_.get();
  int c = std::getc(f);
  if (c == EOF) {
    if (std::ferror(f)) raise(err::kPathFileAccess, "Path/File access error: read failed");
    raise(err::kInputPastEnd, "Input past end of file");
  }
  std::string bytes;
  while (c != EOF && c != '\r' && c != '\n') {
    bytes += static_cast<char>(c);
    c = std::getc(f);
  }
  if (c == '\r') {
    const int next = std::getc(f);
    if (next != '\n' && next != EOF) std::ungetc(next, f);
  }
  if (c == EOF && std::ferror(f))
    raise(err::kPathFileAccess, "Path/File access error: read failed");
  return fs::from_ansi(bytes);
}

bool TextFile::eof() {
  require(OpenMode::Input);
  std::FILE* f = file_.get();
  const int c = std::getc(f);
  if (c == EOF) return true;
  std::ungetc(c, f);
  return false;
}

void TextFile::close() {
  file_.close();
}

}  // namespace parvex
