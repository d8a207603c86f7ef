// Sequential text files in the ANSI code page with CR LF line ends, opened, used and closed
// within one call. Text inside the add-in is UTF-8; it is converted at this boundary.
#pragma once

#include <string>
#include <string_view>

#include "seams/fs.h"

namespace parvex {

enum class OpenMode { Input, Output, Append };

class TextFile {
 public:
  // Output creates or empties the file; Append creates it or writes after its end.
  // Raises 53, 70, 75 or 76 as the platform reports the failure.
  TextFile(const std::string& path, OpenMode mode);

  // Writes the text in the ANSI code page, then CR LF; a character the code page cannot carry
  // is written as '?'.
  void print_line(std::string_view text);
  // The next line without its end (CR LF, LF or CR); raises 62 when nothing is left.
  std::string line_input();
  // True when nothing is left to read.
  bool eof();
  // Closes the file; raises when buffered text cannot be written. The destructor closes too.
  void close();

 private:
  void require(OpenMode wanted) const;

  fs::File file_;
  OpenMode mode_;
};

}  // namespace parvex
