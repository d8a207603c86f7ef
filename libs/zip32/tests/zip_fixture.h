// Shared fixture: a fresh folder per test, the library's print routine captured, and a
// one-call helper around ZpSetOptions + ZpArchive with ANSI names; and a minimal archive reader,
// independent of the library's own record code: it walks the central directory, checks each
// local header against it and inflates the data.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sources.h"
#include "unzip_support.h"
#include "zip32.h"

namespace pvx::zip::test {

// Files, folders and our unzip library come from the unzip tests' helpers.
namespace fs = std::filesystem;
using pvx::unzip::test::patch32;
using pvx::unzip::test::random_bytes;
using pvx::unzip::test::read_file;
using pvx::unzip::test::write_file;
using pvx::zip::kSep;

struct Entry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t internal_attr = 0;
  uint32_t crc = 0;
  uint64_t csize = 0;
  uint64_t usize = 0;
  uint64_t offset = 0;
  std::string extra;  // the central record's
  std::string data;   // an AES entry's as stored: salt, verifier, encrypted data, code
};

struct Archive {
  bool zip64_end = false;
  std::vector<Entry> entries;
  // The data of the entry called name; "(no such entry)" when there is none.
  std::string data(const std::string& name) const;
};

// Reads `path`, inflating every entry and checking its CRC and sizes (AES entries are left
// encrypted); a fault found is a test failure, and the entries read before it are returned.
Archive read_zip(const std::string& path);

// Inflates a raw deflate stream that must give exactly usize bytes and end where `in` ends.
bool inflate_raw(const std::string& in, uint64_t usize, std::string* out);

struct Options {
  int recurse = 0;
  int update = 0;
  char level = 0;
  std::string root{};  // UTF-8
  int encrypt = 0;     // AES key strength 1..3; the password comes from the callback set
};

// The shell command's exit status, its output dropped.
int sh(const std::string& command);

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Sets the library's callbacks: the print routine captured, and this password routine.
  static void init(ZipPasswordFn password);

  std::string path(const std::string& utf8_name) const { return dir_ + kSep + utf8_name; }
  // Writes a file under the test folder (folders made as needed); returns its UTF-8 path.
  std::string make(const std::string& utf8_name, const std::string& bytes);
  // Sets the options, then adds the names (UTF-8, handed over as ANSI) to the archive.
  int32_t zip(const std::string& archive, const std::vector<std::string>& names,
              const Options& options = {});
  // Everything printed since the last zip() call began.
  static const std::string& printed();
  // No run may leave its temporary archive in the test folder.
  void expect_no_temporaries() const;

  pvx::unzip::test::TempDir tmp_;
  std::string dir_;  // UTF-8
  std::string archive_;
};

std::string text_bytes(size_t n);
// A short random pattern over and over: deflate finds it only through the bytes before, so a
// block that lost its dictionary costs a whole pattern.
std::string repeated_bytes(size_t n);

}  // namespace pvx::zip::test
