// Archives other tools wrote: made by zip and 7z at build time, and the shared corpus, with
// what Info-ZIP's unzip extracts from them as the expected contents (make_fixtures.py).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "codepage.h"
#include "unzip_support.h"
#include "ziperrors.h"

namespace pvx::unzip::test {
namespace {

using Fields = std::vector<std::string>;
struct Archive {
  Fields head;                // A name password | C name unzip-code encrypted
  std::vector<Fields> files;  // F path size crc crlf-size crlf-crc method
};

std::vector<Archive> manifest(const std::string& kind) {
  std::ifstream in(fs::u8path(PVX_UNZIP_FIXTURES "/manifest.txt"));
  std::vector<Archive> all;
  for (std::string line; std::getline(in, line);) {
    Fields f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    f.resize(std::max<size_t>(f.size(), 4));
    if (f[0] != "F") all.push_back({f, {}});
    if (f[0] == "F" && !all.empty()) all.back().files.push_back(f);
  }
  std::erase_if(all, [&](const Archive& a) { return a.head[0] != kind; });
  return all;
}

void expect_file(const fs::path& root, const Fields& f, bool crlf) {
  const std::string data = read_file(root / fs::u8path(f[1]));
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", crc_of(data));
  EXPECT_EQ(std::to_string(data.size()) + " " + crc, f[crlf ? 4 : 2] + " " + f[crlf ? 5 : 3])
      << f[1];
}

TEST(Interop, ArchivesMadeByZipAnd7zExtract) {
  const auto archives = manifest("A");
  if (archives.empty()) GTEST_SKIP() << "zip and 7z made no archives at build time";
  for (const Archive& a : archives) {
    const std::string& password = a.head[2];
    for (const int crlf : {0, 1}) {
      SCOPED_TRACE(a.head[1] + (crlf ? " with CR LF" : ""));
      TempDir tmp;
      Calls calls;
      if (!password.empty()) calls.passwords.assign(3, utf8_to_ansi(password));
      UnzipOptionRecord o = default_options();
      o.ConvertCRtoCRLF = crlf;
      const Result r = unzip(fs::u8path(PVX_UNZIP_FIXTURES) / a.head[1], tmp / "out", o, &calls);
      EXPECT_EQ(r.code, PK_OK) << calls.printed;
      EXPECT_EQ(calls.password_names.size(), password.empty() ? 0u : 1u);
      Fields paths;
      for (const Fields& f : a.files) {
        expect_file(tmp / "out", f, crlf);
        paths.push_back(f[1]);
      }
      std::sort(paths.begin(), paths.end());
      EXPECT_EQ(files_under(tmp / "out"), paths);
    }
  }
}

// Every archive of the corpus, extracted, tested and listed with wrong passwords, writes only
// inside the target. Where Info-ZIP's unzip reads one, ours extracts the same, but where unzip's
// leniency is a fault ours refuses the entry: a stored entry that declares 2^64-1 bytes which
// are not there (unzip writes an empty file), and one whose data is longer than its declared
// size (unzip writes the longer data).
TEST(Interop, CorpusArchivesStayInsideTheTargetAndExtractAsUnzipDoes) {
  const std::map<std::string, int> refused = {{"incons-zip64-checkcons-overflow.zip", PK_EOF},
                                              {"incons-stored-size.zip", PK_ERR}};
  const auto archives = manifest("C");
  if (archives.empty()) GTEST_SKIP() << "no corpus at " << PVX_UNZIP_CORPUS;
  for (const Archive& a : archives) {
    const std::string& name = a.head[1];
    const fs::path archive = fs::u8path(PVX_UNZIP_CORPUS) / name;
    SCOPED_TRACE(name);
    for (const int mode : {0, 1, 2}) {  // extract, test, list
      if (archive.extension() != ".zip") break;
      TempDir tmp;
      Calls calls;
      calls.passwords.assign(9, "wrong");
      UnzipOptionRecord o = default_options();
      o.TestZip = mode == 1;
      o.ExtractList = mode == 2;
      const int code = unzip(archive, tmp / "out" / "in", o, &calls).code;
      EXPECT_TRUE(code == PK_OK || !calls.printed.empty()) << mode;
      for (const std::string& f : files_under(tmp.path())) EXPECT_EQ(f.rfind("out/in/", 0), 0u);
    }
    if (std::stoi(a.head[2]) > PK_WARN) continue;
    TempDir tmp;
    Calls calls;
    const int code = unzip(archive, tmp / "out", default_options(), &calls).code;
    if (refused.count(name)) {
      EXPECT_EQ(code, refused.at(name));
      continue;
    }
    bool unsupported = false;
    for (const Fields& f : a.files) {
      const int method = std::stoi(f[6]);  // -1: unknown, the name not being plain ASCII
      if (method == 0 || method == 8) expect_file(tmp / "out", f, false);
      unsupported = unsupported || (method > 0 && method != 8);
    }
    // Entries left encrypted for want of a password, or of an unknown method, are reported.
    const int expected = a.head[3] == "1" ? IZ_BADPWD : unsupported ? IZ_UNSUP : PK_OK;
    EXPECT_EQ(code == PK_WARN ? PK_OK : code, expected) << calls.printed;
  }
}

// zip wrote this with the UTF-8 password "pässwörd", whose Windows-1252 form passes the check
// byte as well: only the data can tell the two forms apart.
TEST(Interop, PasswordWhoseOtherFormPassesTheCheckByte) {
  TempDir tmp;
  Calls calls;
  calls.passwords.assign(1, utf8_to_ansi("pässwörd"));
  EXPECT_EQ(unzip(fs::u8path(PVX_UNZIP_DATA "/pw-ansi-check-collides.zip"), tmp / "out",
                  default_options(), &calls)
                .code,
            PK_OK);
  EXPECT_EQ(read_file(tmp / "out" / "note.txt"), "a note kept under a password\n");
}

}  // namespace
}  // namespace pvx::unzip::test
