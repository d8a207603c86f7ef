// UnzipFiles and CodeModule's unzip side against the recording unzip library: the records,
// the callbacks' answers, the listing and the module state shared with the builder.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "platform/fs.h"
#include "platform/library.h"
#include "record_layout.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace parvex {
namespace {

using testing::Recorder;
using testing::ScopedServices;
using testing::ScriptedServices;

namespace lay = layout;

using Fifteen = std::vector<int32_t>;
const Fifteen kNewObject{0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0};

class UnzipFilesRecorded : public ::testing::Test {
 protected:
  UnzipFilesRecorded() { svc.folder = testing::recording_folder(); }

  // The option record as recorded, after checking that every byte other than the fifteen
  // integers and the two text addresses is zero.
  Fifteen recorded_integers() const {
    const std::string record = unzip.get("Wiz.options").value_or("");
    EXPECT_EQ(record.size(), lay::kUzOptSize);
    if (record.size() != lay::kUzOptSize) return {};
    Fifteen values(15);
    std::string expected(lay::kUzOptSize, '\0');
    for (size_t i = 0; i < 15; ++i) {
      std::memcpy(&values[i], record.data() + 4 * i, 4);
      lay::put(expected, 4 * i, static_cast<uint32_t>(values[i]), 4);
    }
    for (const size_t text : {lay::kUzOptZipFileName, lay::kUzOptExtractDir}) {
      const std::string address = record.substr(text, sizeof(void*));
      EXPECT_NE(address, std::string(sizeof(void*), '\0'));
      expected.replace(text, sizeof(void*), address);
    }
    EXPECT_EQ(record, expected) << "stray bytes in the option record";
    return values;
  }

  Recorder zip{"zip32"};
  Recorder unzip{"unzip32"};
  ScriptedServices svc;
  ScopedServices scope{svc};
};

TEST_F(UnzipFilesRecorded, NewObjectHandsTheDefaultRecordsInOrder) {
  unzip.cue(REC_RESULT, {}, PK_WARN);
  UnzipFiles u;
  EXPECT_EQ(u.Unzip("C:\\in\\mail.zip", "C:\\out"), PK_WARN);
  EXPECT_EQ(unzip.calls(), "UzpVersion2 Wiz_SingleEntryUnzip");
  EXPECT_EQ(recorded_integers(), kNewObject);
  EXPECT_EQ(unzip.text("Wiz.options.ZipFileName"), "C:\\in\\mail.zip");
  EXPECT_EQ(unzip.text("Wiz.options.ExtractDir"), "C:\\out");

  EXPECT_EQ(unzip.integer("Wiz.ifnc"), 0);
  EXPECT_EQ(unzip.integer("Wiz.xfnc"), 0);
  for (const char* list : {"Wiz.ifnv", "Wiz.xfnv"}) {
    EXPECT_EQ(unzip.integer(std::string(list) + ".null"), 0) << list;
    for (int i = 0; i < ZIP_MAX_NAMES; ++i) {
      EXPECT_FALSE(unzip.get(std::string(list) + "." + std::to_string(i))) << list << i;
    }
  }

  std::string callbacks(lay::kUzCbSize, '\0');
  lay::put_address(callbacks, lay::kUzCbPrint, &CodeModule::UnzipPrint);
  lay::put_address(callbacks, lay::kUzCbReplace, &CodeModule::UnzipReplace);
  lay::put_address(callbacks, lay::kUzCbPassword, &CodeModule::UnzipPassword);
  lay::put_address(callbacks, lay::kUzCbListEntry, &CodeModule::UnzipListEntry);
  lay::put_address(callbacks, lay::kUzCbService, &CodeModule::UnzipService);
  EXPECT_EQ(unzip.get("Wiz.callbacks"), callbacks);

  const std::string version = unzip.get("UzpVersion2").value_or("");
  ASSERT_EQ(version.size(), 64u);
  EXPECT_EQ(version.substr(0, 8), std::string("\x40\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(version.substr(8, 10), std::string(9, ' ') + '\0');
  EXPECT_EQ(version.substr(18, 20), std::string(19, ' ') + '\0');
  EXPECT_EQ(version.substr(38, 10), std::string(9, ' ') + '\0');
  EXPECT_EQ(version.substr(48), std::string(16, '\0'));
}

// Set alone on a new object, each property reads back and changes only its own integer.
TEST_F(UnzipFilesRecorded, EachPropertyLandsInItsOwnSlotOfTheRecord) {
#define CASE(prop, value, slot, handed)                                                            \
  Case {                                                                                           \
    [](UnzipFiles& u) { u.prop(value); }, [](const UnzipFiles& u) { return u.prop() == (value); }, \
        slot, handed, #prop " " #value                                                             \
  }
  struct Case {
    void (*set)(UnzipFiles&);
    bool (*reads_back)(const UnzipFiles&);
    size_t slot;
    int32_t handed;
    const char* name;
  };
  const Case cases[] = {
      CASE(ExtractOnlyNewer, true, 0, 1), CASE(SpaceToUnderScore, true, 1, 1),
      CASE(PromptOverwrite, true, 2, 1),  CASE(MessageLevel, 0, 3, 0),
      CASE(MessageLevel, -5, 3, -5),      CASE(MessageLevel, -32768, 3, -32768),
      CASE(WriteToStdOut, true, 4, 1),    CASE(TestZip, true, 5, 1),
      CASE(ExtractList, 1, 6, 1),         CASE(ExtractNewer, true, 7, 1),
      CASE(DisplayComment, true, 8, 1),   CASE(HonorDirectories, false, 9, 0),
      CASE(OverWriteFiles, false, 10, 0), CASE(ConvertCRtoCRLF, true, 11, 1),
      CASE(Verbose, true, 12, 1),         CASE(CaseSensitive, false, 13, 0),
      CASE(Privilege, -1, 14, -1),        CASE(Privilege, 32767, 14, 32767),
  };
#undef CASE
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnzipFiles u;
    c.set(u);
    EXPECT_TRUE(c.reads_back(u));
    u.Unzip("a.zip", "out");
    Fifteen expected = kNewObject;
    expected[c.slot] = c.handed;
    EXPECT_EQ(recorded_integers(), expected);
  }
}

TEST_F(UnzipFilesRecorded, IntegersOutsideSixteenBitsFailBeforeTheLibrary) {
  for (const auto set :
       std::initializer_list<void (*)(UnzipFiles&)>{[](UnzipFiles& u) { u.MessageLevel(40000); },
                                                    [](UnzipFiles& u) { u.MessageLevel(-32769); },
                                                    [](UnzipFiles& u) { u.ExtractList(32768); },
                                                    [](UnzipFiles& u) { u.Privilege(-40000); }}) {
    UnzipFiles u;
    set(u);
    const Failure f = testing::failure_of([&] { u.Unzip("a.zip", "out"); });
    EXPECT_EQ(f.number(), err::kOverflow);
    EXPECT_EQ(f.source(), "UnzipFiles::Unzip");
    EXPECT_EQ(unzip.calls(), "");
  }
  EXPECT_TRUE(svc.message_boxes.empty());
}

TEST_F(UnzipFilesRecorded, ArgumentsAreStoredAndEmptyOnesKeepTheStoredValues) {
  const auto handed = [&] {
    return unzip.text("Wiz.options.ZipFileName") + " " + unzip.text("Wiz.options.ExtractDir");
  };
  UnzipFiles u;
  u.ZipFileName("first.zip");
  u.ExtractDir("first-dir");
  u.Unzip();
  EXPECT_EQ(handed(), "first.zip first-dir");
  u.Unzip("second.zip");
  EXPECT_EQ(handed(), "second.zip first-dir");
  u.Unzip("", "second-dir");
  EXPECT_EQ(handed(), "second.zip second-dir");
  EXPECT_EQ(u.ZipFileName() + " " + u.ExtractDir(), "second.zip second-dir");
}

TEST_F(UnzipFilesRecorded, ReplaceQuestionAnswers) {
  const struct {
    MsgAnswer answer;
    int32_t code;
  } cases[] = {{MsgAnswer::No, 100},
               {MsgAnswer::Cancel, 104},
               {MsgAnswer::Yes, 102},
               {MsgAnswer::None, 100}};
  for (const auto& c : cases) {
    svc.message_box_answers.push_back(c.answer);
    unzip.cue(REC_REPLACE, fs::to_ansi("dir/caf\xC3\xA9.txt"));
  }
  const std::string long_name(300, 'n');
  svc.message_box_answers.push_back(MsgAnswer::No);
  unzip.cue(REC_REPLACE, long_name);
  UnzipFiles().Unzip("a.zip", "out");

  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(unzip.integer("answer." + std::to_string(i)), cases[i].code) << i;
  }
  ASSERT_EQ(svc.message_boxes.size(), 5u);
  const testing::MessageBoxCall& box = svc.message_boxes[0];
  EXPECT_EQ(box.text, "Overwrite dir/caf\xC3\xA9.txt?");
  EXPECT_EQ(box.caption, "VBUnZip32 - File Already Exists!");
  EXPECT_EQ(box.buttons, MsgButtons::YesNoCancel);
  EXPECT_EQ(box.icon, MsgIcon::Warning);
  EXPECT_EQ(svc.message_boxes[4].text, "Overwrite " + std::string(256, 'n') + "?");
}

// Services whose message box cannot be shown.
class NoMessageBoxServices : public ScriptedServices {
 public:
  MsgAnswer message_box(const std::string&, MsgButtons, MsgIcon, const std::string&) override {
    throw Failure(err::kHostCallFailed, "test", "no window station");
  }
};

// Whether the platform's own message box cannot be seen: POSIX has none; wine without a
// display cannot show one. On a real desktop the box would wait for a person.
bool native_box_is_unseen() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
  return wine && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
#else
  return true;
#endif
}

TEST(UnzipReplace, AQuestionThatCannotBeAskedOrSeenKeepsTheExistingFile) {
  NoMessageBoxServices throwing;
  for (const bool native : {false, true}) {
    if (native && !native_box_is_unseen()) continue;
    ScopedServices scope(throwing);
    if (native) set_services(nullptr);  // the platform's real back-end, not a fake
    char name[] = "report.doc";
    EXPECT_EQ(CodeModule::UnzipReplace(name), 100) << (native ? "native box" : "throwing box");
  }
}

TEST_F(UnzipFilesRecorded, PasswordIsCutToTheBufferLessOneAndADeclineHoldsForTheExtraction) {
  const std::string unchanged(81, 'x');
  const struct {
    std::string answer;
    int32_t size;
    std::string buffer;
    int32_t code;
  } cases[] = {
      {"longpassword", 8, std::string("longpas\0", 8), 0},
      {"exact", 6, std::string("exact\0", 6), 0},
      {"a", 1, std::string(1, '\0'), 0},
      {"ignored", 0, "", 1},
      {"", 81, unchanged, 1},
      {"never asked", 81, unchanged, 1},
  };
  for (const auto& c : cases) svc.input_box_answers.push_back(c.answer);
  for (const auto& c : cases) unzip.cue(REC_PASSWORD, {}, c.size);
  UnzipFiles u;
  u.Unzip("a.zip", "out");
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(unzip.integer("answer." + std::to_string(i)), cases[i].code) << cases[i].answer;
    EXPECT_EQ(unzip.get("buffer." + std::to_string(i)), cases[i].buffer) << cases[i].answer;
  }
  EXPECT_EQ(svc.input_box_prompts, std::vector<std::string>(5, "Please Enter The Password!"));
  EXPECT_EQ(svc.input_box_captions, std::vector<std::string>(5, ""));

  // The next extraction asks again.
  svc.input_box_answers = {"s\xC3\xA9same"};
  unzip.cue(REC_PASSWORD, {}, 81);
  u.Unzip();
  EXPECT_EQ(svc.input_box_prompts.size(), 6u);
  EXPECT_EQ(unzip.integer("answer.6"), 0);
  const std::string sesame = fs::to_ansi("s\xC3\xA9same");
  EXPECT_EQ(unzip.get("buffer.6"), sesame + std::string(81 - sesame.size(), '\0'));
}

TEST_F(UnzipFilesRecorded, PrintLeavesTheFixedTextOncePerCallAndSharesLastMessage) {
  UnzipFiles u;
  ZipFiles z;
  u.Unzip("a.zip", "out");
  EXPECT_EQ(u.GetLastMessage(), "");

  zip.cue(REC_PRINT, std::string("zipped", 7), 6);
  z.MakeZipFile();
  EXPECT_EQ(u.GetLastMessage(), "zipped");

  for (int i = 0; i < 3; ++i) unzip.cue(REC_PRINT, std::string("inflating: x\0", 13), 12);
  unzip.cue(REC_SERVICE, "x");
  u.Unzip();
  const std::string three =
      "done with Parvex"
      "done with Parvex"
      "done with Parvex";
  EXPECT_EQ(z.GetLastMessage(), three);
  EXPECT_EQ(u.GetLastMessage(), three);
  EXPECT_EQ(unzip.integer("answer.0"), 0);
  EXPECT_EQ(unzip.integer("answer.3"), 0);  // the service routine lets the run go on

  zip.cue(REC_PRINT, std::string("again", 6), 5);
  z.MakeZipFile();
  EXPECT_EQ(u.GetLastMessage(), "again");
}

// A list cue: the entry's numbers and name, as the recording library reads it.
std::string entry(RecListEntry e, const std::string& name) {
  std::memcpy(e.name, name.data(), std::min(name.size(), sizeof e.name - 1));
  return std::string(reinterpret_cast<const char*>(&e), sizeof e);
}

TEST_F(UnzipFilesRecorded, ListingLinesColumnForColumn) {
  const struct {
    std::string cue, line;
  } cases[] = {
      {entry({1234, 3, 5, 2004, 9, 7, {}}, "docs/report.txt"),
       "docs/report.txt" + std::string(35, ' ') + "   1234  03/05/04   9:07" + std::string(6, ' ')},
      {entry({0, 12, 31, 1999, 23, 59, {}}, "a"),
       "a" + std::string(49, ' ') + "      0  12/31/99  23:59" + std::string(6, ' ')},
      {entry({9999999, 1, 1, 2010, 12, 0, {}}, std::string(60, 'L')),
       std::string(50, 'L') + "9999999  01/01/10  12:00" + std::string(6, ' ')},
      // A size of eight digits or more takes name columns rather than losing digits.
      {entry({4294967295u, 7, 4, 2026, 0, 5, {}}, std::string(60, 'B')),
       std::string(46, 'B') + " 4294967295  07/04/26   0:05" + std::string(6, ' ')},
      // Columns count the name's ANSI bytes.
      {entry({5, 1, 2, 2026, 10, 30, {}}, fs::to_ansi("caf\xC3\xA9")),
       "caf\xC3\xA9" + std::string(50 - fs::to_ansi("caf\xC3\xA9").size(), ' ') +
           "      5  01/02/26  10:30" + std::string(6, ' ')},
  };
  for (const auto& c : cases) unzip.cue(REC_LIST, c.cue);
  UnzipFiles u;
  u.ExtractList(1);
  u.Unzip("a.zip", "out");

  std::string header(80, ' ');
  header.replace(0, 9, "Filename:");
  header.replace(52, 4, "Size");
  header.replace(61, 4, "Date");
  header.replace(70, 4, "Time");
  std::string expected = header + "\r\n";
  for (const auto& c : cases) expected += c.line + "\r\n";
  EXPECT_EQ(u.GetListText(), expected);
  EXPECT_EQ(u.GetListCount(), 5);

  u.Unzip();  // a new extraction starts a new listing
  EXPECT_EQ(u.GetListText(), "");
  EXPECT_EQ(u.GetListCount(), 0);
}

TEST_F(UnzipFilesRecorded, ListCountStopsAt32767) {
  CodeModule::state().ListCount = 32766;
  char name[] = "x";
  char method[] = "Stored";
  for (int i = 0; i < 2; ++i) {
    CodeModule::UnzipListEntry(1, 1, 0, 1, 1, 2026, 1, 1, ' ', name, method, 0, ' ');
  }
  EXPECT_EQ(UnzipFiles().GetListCount(), 32767);
  EXPECT_EQ(UnzipFiles().GetListText().size(), 2 * 82u);  // no header: the count was not 0
}

TEST_F(UnzipFilesRecorded, MissingLibraryOrExportFailsWithTheExtractorsSource) {
  testing::TempFolder folder;
  svc.folder = folder.path();
  const Failure none = testing::failure_of([] { UnzipFiles().Unzip("a.zip", "out"); });
  EXPECT_EQ(none.number(), 53) << none.description();
  EXPECT_EQ(none.source(), "UnzipFiles::Unzip");
  // Then a library by that name that has the zip exports only.
  testing::write_file(
      folder / library_file_name("unzip32"),
      testing::read_file(testing::recording_folder() + kPathSep + library_file_name("zip32")));
  const Failure no_export = testing::failure_of([] { UnzipFiles().Unzip("a.zip", "out"); });
  EXPECT_EQ(no_export.number(), 453) << no_export.description();
  EXPECT_EQ(no_export.source(), "UnzipFiles::Unzip");
  EXPECT_EQ(testing::failure_of([] {
              CodeModule::VBUnzip("a.zip", "out", CodeModule::UnzipIntegers{});
            }).source(),
            "CodeModule::VBUnzip");
  EXPECT_TRUE(svc.message_boxes.empty());
  EXPECT_EQ(unzip.calls(), "");
  ProgramState::reset();  // let go of the copied library so its folder can be removed
}

TEST_F(UnzipFilesRecorded, NamesTheCodePageCannotCarryFailBeforeTheLibrary) {
  // A zero byte ends the name in every code page; a Chinese character in the single-byte ones.
  for (const std::string& bad : {std::string("\xE4\xB8\xAD"), std::string("a\0b", 3)}) {
    bool exact = true;
    if (fs::to_ansi(bad, &exact).find('\0') == std::string::npos && exact) continue;  // UTF-8
    const Failure f =
        testing::failure_of([&] { UnzipFiles().Unzip("C:\\" + bad + ".zip", "out"); });
    EXPECT_EQ(f.source(), "UnzipFiles::Unzip");
    EXPECT_NE(f.description().find(bad), std::string::npos);
  }
  EXPECT_EQ(unzip.calls(), "");
}

}  // namespace
}  // namespace parvex
