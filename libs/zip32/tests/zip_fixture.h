// Shared fixture: a fresh folder per test, the library's print routine captured, and a
// one-call helper around ZpSetOptions + ZpArchive with ANSI names.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "unzip_support.h"
#include "zip32.h"
#include "zip_reader.h"

namespace ziptest {

// Files, folders and our unzip library come from the unzip tests' helpers.
namespace fs = std::filesystem;
using pvx::unzip::test::patch32;
using pvx::unzip::test::read_file;
using pvx::unzip::test::write_file;

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

  std::string path(const std::string& utf8_name) const { return dir_ + kSep + utf8_name; }
  // Writes a file under the test folder (folders made as needed); returns its UTF-8 path.
  std::string make(const std::string& utf8_name, const std::string& bytes);
  // Sets the options, then adds the names (UTF-8, handed over as ANSI) to the archive.
  int32_t zip(const std::string& archive, const std::vector<std::string>& names,
              const Options& options = {});
  // Everything printed since the last zip() call began.
  static const std::string& printed();

  pvx::unzip::test::TempDir tmp_;
  std::string dir_;  // UTF-8
  std::string archive_;
};

std::string random_bytes(size_t n, uint32_t seed);
std::string text_bytes(size_t n);
// A short random pattern over and over: deflate finds it only through the bytes before, so a
// block that lost its dictionary costs a whole pattern.
std::string repeated_bytes(size_t n);

}  // namespace ziptest
