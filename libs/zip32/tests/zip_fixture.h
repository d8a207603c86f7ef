// Shared fixture: a fresh folder per test, the library's print routine captured, and a
// one-call helper around ZpSetOptions + ZpArchive with ANSI names.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "zip32.h"
#include "zip_reader.h"

namespace ziptest {

#ifdef _WIN32
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

struct Options {
  int recurse = 0;
  int update = 0;
  char level = 0;
  std::string root;  // UTF-8
};

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& utf8_name) const { return dir_ + kSep + utf8_name; }
  // Writes a file under the test folder (folders made as needed); returns its UTF-8 path.
  std::string make(const std::string& utf8_name, const std::string& bytes);
  // Sets the options, then adds the names (UTF-8, handed over as ANSI) to the archive.
  int32_t zip(const std::string& archive, const std::vector<std::string>& names,
              const Options& options = {});
  // Everything printed since the last zip() call began.
  static const std::string& printed();

  std::string dir_;
  std::string archive_;
};

// Tests `archive` with our unzip library, loaded by name as the add-in loads it; returns its
// result code (PK_OK when every entry's data and CRC are good) and what it printed.
int32_t test_with_unzip32(const std::string& archive, std::string* printed);

std::filesystem::path u8(const std::string& utf8);
std::string random_bytes(size_t n, uint32_t seed);
std::string text_bytes(size_t n);
// A short random pattern over and over: deflate finds it only through the bytes before, so a
// block that lost its dictionary costs a whole pattern.
std::string repeated_bytes(size_t n);

}  // namespace ziptest
