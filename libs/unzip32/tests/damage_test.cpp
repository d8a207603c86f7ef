// Damaged, hostile and truncated archives: a result code and a message, never a crash, a hang,
// a file outside the target folder or a damaged file left behind.
#include <gtest/gtest.h>

#include "entry_path.h"
#include "le.h"
#include "unzip_engine.h"
#include "unzip_support.h"
#include "zip_aes.h"
#include "zip_source.h"
#include "ziperrors.h"

namespace pvx::unzip::test {
namespace {

const std::vector<TestEntry> kSound = {
    {"a", "alpha alpha alpha alpha"}, {"d/", ""}, {"d/b", "b", false}};

// The same as AES entries (a deflated AE-1 one, a stored AE-2 one), so that every byte of their
// extra fields, salts, verifiers and codes is damaged too.
std::vector<TestEntry> sealed() {
  std::vector<TestEntry> entries = kSound;
  entries[0].aes = 1;
  entries[0].aes_vendor = kAesVendorAe1;
  entries[2].aes = 3;
  return entries;
}

// Runs the engine over bytes in memory, printing entry contents, as the fuzz target does.
int print_run(Source& src, Calls* calls) {
  Job job;
  job.options.to_print = true;
  job.options.message_level = 1;
  const UnzipCallbackRecord cb = callbacks(calls);
  Totals totals;
  return run(src, job, &cb, &totals);
}
int print_run(const std::string& bytes, Calls* calls) {
  MemorySource src(bytes);
  return print_run(src, calls);
}

TEST(Damage, TruncatedOrFlippedBytesNeverPassForGoodData) {
  for (const std::string& zip : {make_zip(kSound), make_zip(sealed())}) {
    const auto run = [](const std::string& bytes, Calls* calls) {
      calls->passwords = {kAesPassword};
      return print_run(bytes, calls);
    };
    Calls sound;
    ASSERT_EQ(run(zip, &sound), PK_OK) << sound.printed;
    for (size_t n = 0; n < zip.size(); ++n) {
      Calls calls;
      EXPECT_NE(run(zip.substr(0, n), &calls), PK_OK) << n;
      EXPECT_FALSE(calls.printed.empty()) << n;
    }
    for (size_t at = 0; at < zip.size(); ++at) {
      for (const int change : {0x01, 0x80, 0xFF}) {
        std::string bad = zip;
        bad[at] = static_cast<char>(bad[at] ^ change);
        Calls calls;
        // Success means exactly the sound contents; anything else is said.
        if (run(bad, &calls) == PK_OK) {
          EXPECT_EQ(calls.printed, "alpha alpha alpha alphab") << at;
        } else {
          EXPECT_NE(calls.printed.find('\n'), std::string::npos) << at;
        }
      }
    }
  }
}

// Where an AES entry named "q" keeps its data: past its name, extra field, salt and verifier.
constexpr size_t kSealedData = kLocalHeaderSize + 1 + 11 + 12 + 2;

TEST(Damage, AesDataThatFailsItsCodeIsNeverPrinted) {
  const std::string secret(300, 'Q');
  for (const bool deflate : {false, true}) {
    TestEntry e{"q", secret, deflate};
    e.aes = 2;
    const std::string zip = make_zip({e});
    const size_t end = zip.find(std::string("PK\1\2", 4));
    for (size_t at = kSealedData; at < end; ++at) {
      std::string bad = zip;
      bad[at] = static_cast<char>(bad[at] ^ 0x01);
      Calls calls;
      calls.passwords = {kAesPassword};
      EXPECT_EQ(print_run(bad, &calls), PK_ERR) << at;
      EXPECT_EQ(calls.printed.find('Q'), std::string::npos) << at << ": " << calls.printed;
      EXPECT_NE(calls.printed.find("authentication failed"), std::string::npos) << at;
    }
  }
  // An archive that changes under the reader: the first KB of the entry's data comes back
  // altered when read again (the end record's search reads only the tail). What is decrypted
  // must be the bytes the code checked.
  struct Changing final : Source {
    explicit Changing(std::string b) : bytes(std::move(b)), seen(bytes.size()) {}
    uint64_t size() const override { return bytes.size(); }
    bool read_at(uint64_t at, void* buf, size_t n) override {
      for (size_t i = at; i < at + n && i < bytes.size(); ++i) {
        const bool again = seen[i] && i >= kSealedData && i < kSealedData + 1000;
        static_cast<char*>(buf)[i - at] = static_cast<char>(bytes[i] ^ (again ? 1 : 0));
        seen[i] = true;
      }
      return at + n <= bytes.size();
    }
    std::string bytes;
    std::vector<bool> seen;
  };
  TestEntry e{"q", std::string(200000, 'Q'), false};
  e.aes = 2;
  Changing src(make_zip({e}));
  Calls calls;
  calls.passwords = {kAesPassword};
  EXPECT_EQ(print_run(src, &calls), PK_OK);
  EXPECT_EQ(calls.printed, e.data);
}

std::string two_entries(uint32_t second_central_field, uint32_t value) {
  std::vector<uint64_t> central;
  const std::string zip = make_zip({{"ok.txt", "y"}, {"x", "y"}}, "", &central);
  return patch32(zip, central[1] + second_central_field, value);
}

TEST(Damage, GivesCodeAndMessageAndLeavesNoFile) {
  const std::string megabyte(1 << 20, '\0');
  const struct {
    std::string archive;
    int code;
    const char* message;
    const char* password = kAesPassword;
  } cases[] = {
      {make_zip({{.name = "x", .data = "abc", .csize = 1000000}}), PK_EOF,
       "its data passes the end"},
      {make_zip({{"ok.txt", "fine"}, {.name = "x", .data = megabyte, .usize = 10}}), PK_ERR,
       "more data than its declared 10 bytes"},
      {make_zip({{.name = "x", .data = "small", .usize = 0xFFFFFFF0}}), PK_ERR,
       "only 5 of its declared 4294967280 bytes"},
      {make_zip({{.name = "x", .data = "abc", .crc = 7}}), PK_ERR, "bad CRC"},
      // AE-1 keeps the CRC: a reader checks it as well as the code.
      {make_zip({{.name = "x", .data = "abc", .crc = 7, .aes = 2, .aes_vendor = kAesVendorAe1}}),
       PK_ERR, "bad CRC"},
      {make_zip({{.name = "x", .data = "abc", .aes = 2}}), IZ_BADPWD, "(incorrect password)",
       "wrong"},
      {make_zip({{.name = "x", .data = "abc", .method = 12}, {"ok.txt", "y"}}), IZ_UNSUP,
       "compression method 12 (BZip2) is not supported"},
      {make_zip({{.name = "x", .data = "abc", .method = 99}}), IZ_UNSUP,
       "its encryption is not supported"},
      {two_entries(42, 0), PK_BADERR, "overlaps another part"},  // both at one local header
      {two_entries(0, 0x12345678), PK_BADERR, "central directory record 2 is missing"},
      {std::string(300, 'P'), PK_NOZIP, "no end of central directory"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    write_file(tmp / "a.zip", c.archive);
    Calls calls;
    calls.passwords = {c.password};
    EXPECT_EQ(unzip(tmp / "a.zip", tmp / "out", default_options(), &calls).code, c.code);
    EXPECT_NE(calls.printed.find(c.message), std::string::npos) << calls.printed;
    for (const std::string& f : files_under(tmp / "out")) EXPECT_EQ(f, "ok.txt");
  }
}

class Traversal : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(Traversal, IsRefusedAndTheRestExtracted) {
  const auto [name, honor] = GetParam();
  TempDir tmp;
  write_file(tmp / "a.zip", make_zip({{name, "evil"}, {"ok.txt", "good"}}));
  UnzipOptionRecord o = default_options();
  o.HonorDirectories = honor;
  Calls calls;
  EXPECT_EQ(unzip(tmp / "a.zip", tmp / "out" / "in", o, &calls).code, PK_WARN);
  EXPECT_NE(calls.printed.find(std::string("refused: ") + name), std::string::npos);
  EXPECT_EQ(files_under(tmp.path()), (std::vector<std::string>{"a.zip", "out/in/ok.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Names, Traversal,
                         ::testing::Combine(::testing::Values("../evil", "in/../../evil",
                                                              "/tmp/evil", "\\evil", "C:\\evil",
                                                              "c:evil", "..\\evil", "a\\..\\..\\e",
                                                              "x/.. /evil", "x/.../evil"),
                                            ::testing::Values(0, 1)));

TEST(EntryPath, MapsNamesInsideTheFolder) {
  const struct {
    const char* name;
    bool keep, underscore;
    const char* shown;
  } cases[] = {
      {"a\\b/c.txt", true, false, "a/b/c.txt"}, {"./a//b/./c", true, false, "a/b/c"},
      {"a/b c/d e", false, true, "d_e"},        {"a/b/", false, false, ""},
      {"tab\there", true, false, "tab_here"},   {"console.txt", true, false, "console.txt"}};
  for (const auto& c : cases) {
    EntryPath p;
    std::string why;
    ASSERT_TRUE(entry_path(c.name, {c.keep, c.underscore}, &p, &why)) << c.name;
    EXPECT_EQ(p.shown, c.shown);
    std::string relative = c.shown;
    std::replace(relative.begin(), relative.end(), '/', kSep);
    EXPECT_EQ(p.relative, relative);
  }
  for (const char* device : {"a/CON", "nul.txt", "x/Com1.log", "lpt9"}) {
    EntryPath p;
    std::string why;
    const bool windows = kSep == '\\';  // where device names open the device, not a file
    EXPECT_NE(entry_path(device, {}, &p, &why), windows) << device;
  }
}

TEST(Wildcard, Matches) {
  const struct {
    const char *pattern, *name;
    bool sensitive, match;
  } cases[] = {
      {"a?c", "ac", true, false},
      {"[!a-c]x", "dx", true, true},
      {"[!a-c]x", "bx", true, false},
      {"[]]", "]", true, true},
      {"[unclosed", "[unclosed", true, true},
      {"ÄB*", "äbc", false, true},
      {"a*b*c*d*e*f*g*h*i*j", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", true, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name, c.sensitive), c.match) << c.pattern;
  }
}

}  // namespace
}  // namespace pvx::unzip::test
