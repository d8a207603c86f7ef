#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "codepage.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"
#include "zip_names.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace parvex {
namespace {

struct Recorder {
  std::vector<std::string>* log = nullptr;
  std::string name;
  ~Recorder() {
    if (log) log->push_back(name);
  }
};
struct First : Recorder {};
struct Second : Recorder {};

TEST(ProgramState, ResetDestroysNewestFirstAndStartsFresh) {
  std::vector<std::string> destroyed;
  ProgramState::reset();
  program_state<First>() = First{{&destroyed, "first"}};
  destroyed.clear();  // the temporary's destructor logged once
  program_state<Second>() = Second{{&destroyed, "second"}};
  destroyed.clear();
  ProgramState::reset();
  EXPECT_EQ(destroyed, (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(program_state<First>().log, nullptr);
  ProgramState::reset();
}

TEST(CodePages, ConvertByTheirTablesAndMarkWhatTheyCannotCarry) {
  const struct {
    unsigned code_page;
    const char *utf8, *bytes;
    bool exact;
  } cases[] = {
      {1252, "caf\xC3\xA9 \xE2\x82\xAC", "caf\xE9 \x80", true},
      {1252, "\xE4\xB8\xAD", "?", false},
      {437, "caf\xC3\xA9 \xCE\xB1", "caf\x82 \xE0", true},
      {437, "\xE2\x82\xAC", "?", false},
      // UTF-8 takes neither flags nor a default character; the system converter refused both.
      {65001, "caf\xC3\xA9 \xE4\xB8\xAD", "caf\xC3\xA9 \xE4\xB8\xAD", true},
      {65001, "bad \xC3", "bad \xEF\xBF\xBD", false},
  };
  for (const auto& c : cases) {
    bool exact = !c.exact;
    EXPECT_EQ(pvx::utf8_to_code_page(c.utf8, c.code_page, &exact), c.bytes) << c.code_page;
    EXPECT_EQ(exact, c.exact) << c.code_page << " " << c.utf8;
    if (c.exact) {
      EXPECT_EQ(pvx::code_page_to_utf8(c.bytes, c.code_page), c.utf8);
    }
  }
  EXPECT_FALSE(pvx::code_page_takes_flags(65001));
  EXPECT_FALSE(pvx::code_page_takes_flags(57004));
  EXPECT_TRUE(pvx::code_page_takes_flags(1252));
  // A page the converter does not know fails loudly instead of giving empty text.
  EXPECT_THROW(pvx::utf8_to_code_page("abc", 12345, nullptr), std::system_error);
  // Names stored in a zip are read by one rule.
  const struct {
    const char* raw;
    uint16_t flags, made_by;
    const char* utf8;
  } names[] = {
      {"caf\xC3\xA9", 0x0800, 0x0000, "caf\xC3\xA9"},             // flagged
      {"bad\xC3", 0x0800, 0x0000, "bad\xEF\xBF\xBD"},             // flagged, malformed
      {"caf\xC3\xA9", 0, 0x0314, "caf\xC3\xA9"},                  // Unix writer, valid UTF-8
      {"caf\x82", 0, 0x0314, "caf\xC3\xA9"},                      // Unix writer, not UTF-8: 437
      {"caf\xC3\xA9", 0, 0x0014, "caf\xE2\x94\x9C\xE2\x8C\x90"},  // DOS writer: 437
  };
  for (const auto& c : names) {
    EXPECT_EQ(pvx::decode_zip_name(c.raw, c.flags, c.made_by), c.utf8) << c.raw;
  }
}

TEST(Ansi, IsTheCodePageTheRunAskedForAndRoundTrips) {
  const char* expected = std::getenv("PARVEX_EXPECT_ACP");
#ifdef _WIN32
  if (expected) {
    EXPECT_EQ(GetACP(), std::stoul(expected));
  }
#else
  EXPECT_EQ(expected ? std::stoul(expected) : 1252u, pvx::ansi_code_page());
#endif
  bool exact = false;
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC";
  EXPECT_EQ(fs::from_ansi(fs::to_ansi(text, &exact)), text);
  EXPECT_TRUE(exact);
  EXPECT_EQ(fs::ansi_code("\xC3\xA9"), pvx::ansi_code_page() == 1252 ? 0xE9 : -1);
}

// Lengths and listings are checked through the zip action's byte count and file list.
TEST(FileSystem, DeletingAMissingFileFails) {
  testing::TempFolder dir;
  testing::write_file(dir / "a.txt", "abc");
  fs::delete_file(dir / "a.txt");
  EXPECT_THROW(fs::delete_file(dir / "a.txt"), Failure);
}

}  // namespace
}  // namespace parvex
