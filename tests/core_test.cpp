#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/failure.h"
#include "core/program_state.h"
#include "platform/fs.h"
#include "scripted/scripted_services.h"

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

TEST(Failure, StylesSkipOrReraiseWithOwnSource) {
  int ran = 0;
  attempt([&] { raise(err::kOverflow, "Overflow"); });
  attempt([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(attempt_condition([]() -> bool { throw Failure(1, "x", "y"); }));
  try {
    rethrow_as("ZipFiles::MakeZipFile",
               [] { raise(err::kSubscriptRange, "Subscript out of range"); });
    FAIL();
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), err::kSubscriptRange);
    EXPECT_EQ(f.source(), "ZipFiles::MakeZipFile");
    EXPECT_EQ(f.description(), "Subscript out of range");
  }
}

TEST(Ansi, RoundTripsWindows1252AndMarksWhatItCannotCarry) {
  bool exact = false;
  EXPECT_EQ(fs::to_ansi("caf\xC3\xA9 \xE2\x82\xAC", &exact), "caf\xE9 \x80");
  EXPECT_TRUE(exact);
  EXPECT_EQ(fs::from_ansi("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(fs::to_ansi("\xE4\xB8\xAD", &exact), "?");
  EXPECT_FALSE(exact);
  EXPECT_EQ(fs::ansi_code("\xC3\xA9"), 0xE9);
}

TEST(FileSystem, ProbesTellFilesFromFolders) {
  testing::TempFolder dir;
  testing::write_file(dir / "a.txt", "abc");
  EXPECT_TRUE(fs::is_file(dir / "a.txt"));
  EXPECT_FALSE(fs::is_folder(dir / "a.txt"));
  EXPECT_TRUE(fs::is_folder(dir.path()));
  EXPECT_FALSE(fs::is_file(dir.path()));
  EXPECT_FALSE(fs::is_file(dir / "missing"));
  EXPECT_EQ(fs::file_length(dir / "a.txt"), 3);
  fs::make_folder(dir / "sub");
  EXPECT_EQ(fs::list_files(dir.path()), std::vector<std::string>{"a.txt"});
  fs::delete_file(dir / "a.txt");
  EXPECT_THROW(fs::delete_file(dir / "a.txt"), Failure);
}

}  // namespace
}  // namespace parvex
