// ZipFiles, UnzipFiles and CodeModule against the recording zip and unzip libraries: the bytes
// of every record handed over, the names, the callbacks' answers, LastMessage and the module
// state the builder and the extractor share.
#include <gtest/gtest.h>

#include <vector>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "record_layout.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"
#include "seams/library.h"

namespace parvex {
namespace {

using testing::Recorder;
namespace lay = layout;

// A record as recorded must be `expected` but for the addresses at `addresses`, which are set to
// whatever the engine allocated (the texts they point to are checked apart).
void expect_record(const std::string& record, std::string expected,
                   std::initializer_list<size_t> addresses) {
  ASSERT_EQ(record.size(), expected.size());
  for (const size_t at : addresses) {
    EXPECT_NE(record.substr(at, sizeof(void*)), std::string(sizeof(void*), '\0')) << at;
    expected.replace(at, sizeof(void*), record, at, sizeof(void*));
  }
  EXPECT_EQ(record, expected);
}

// A failure in one line: "number source: description".
std::string said(const Failure& f) {
  return std::to_string(f.number()) + " " + f.source() + ": " + f.description();
}

using Fifteen = std::vector<int32_t>;
const Fifteen kNewObject{0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0};

class Recorded : public ::testing::Test {
 protected:
  Recorded() { svc.folder = testing::recording_folder(); }

  // The unzip option record: these fifteen integers and the two text addresses.
  void expect_integers(const Fifteen& values) const {
    std::string expected(lay::kUzOptSize, '\0');
    for (size_t i = 0; i < 15; ++i) lay::put(expected, 4 * i, static_cast<uint32_t>(values[i]), 4);
    expect_record(unzip.get("Wiz.options"), expected,
                  {lay::kUzOptZipFileName, lay::kUzOptExtractDir});
  }

  // Declared first so they close after the engine has let go of the libraries.
  Recorder zip{"zip32"};
  Recorder unzip{"unzip32"};
  testing::ScriptedServices svc;
  testing::ScopedServices scope{svc};
};
using ZipFilesRecorded = Recorded;
using UnzipFilesRecorded = Recorded;

// Each case starts from a new object, which hands the placeholder name and the callbacks and
// passes the library's result on. Encryption and system files are never handed: the record has
// no place for them. The root directory goes in capitals; the level as the library's digit, and
// the new object's as 0, the library's default.
TEST_F(ZipFilesRecorded, OptionRecordCarriesOnlyRecurseUpdateLevelAndTheRootDirectory) {
  const struct {
    bool recurse, update, encrypted, system_files;
    std::string root, handed;  // an empty root is left as the new object has it
    int level = -1;
  } cases[] = {
      {false, false, false, false, "", "\\"},
      {true, false, false, false, "c:\\temp\\out", "C:\\TEMP\\OUT", 0},
      {false, true, false, false, "\\", "\\", 9},
      {false, false, true, true, "d:\\dossier\\\xC3\xA9t\xC3\xA9 \xC5\x93uvre",
       fs::to_ansi("D:\\DOSSIER\\\xC3\x89T\xC3\x89 \xC5\x92UVRE")},
      {true, true, true, true, "", "\\", 1},
  };
  std::string callbacks(lay::kZipCbSize, '\0');
  lay::put_address(callbacks, lay::kZipCbPrint, &CodeModule::ZipPrint);
  lay::put_address(callbacks, lay::kZipCbPassword, &CodeModule::ZipPassword);
  lay::put_address(callbacks, lay::kZipCbProgress, &CodeModule::ZipProgress);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.recurse << c.update << c.encrypted << c.system_files);
    ZipFiles z;
    z.ZipFileName("C:\\mail\\Attachments.zip");
    z.RecurseFolders(c.recurse);
    z.UpdatingZip(c.update);
    z.Encrypted(c.encrypted);
    z.IncludeSystemFiles(c.system_files);
    if (!c.root.empty()) z.RootDirectory(c.root);
    if (c.level >= 0) z.Level(c.level);
    zip.cue(REC_RESULT, {}, ZE_NONE);
    EXPECT_EQ(z.MakeZipFile(), ZE_NONE);
    EXPECT_EQ(zip.get("ZpArchive.archive"), "C:\\mail\\Attachments.zip");
    EXPECT_EQ(zip.get("ZpArchive.names"), "1\nquerty\n");
    EXPECT_EQ(zip.get("ZpInit"), callbacks);

    std::string expected(lay::kZipOptSize, '\0');
    lay::put(expected, lay::kZipOptRecurse, c.recurse ? 1 : 0, 4);
    lay::put(expected, lay::kZipOptUpdate, c.update ? 1 : 0, 4);
    lay::put(expected, lay::kZipOptLevel, c.level >= 0 ? static_cast<uint64_t>('0' + c.level) : 0,
             1);
    expect_record(zip.get("ZpSetOptions"), expected, {lay::kZipOptRoot});
    EXPECT_EQ(zip.get("ZpSetOptions.root_directory"), c.handed);
  }
  EXPECT_TRUE(svc.message_boxes.empty());
  // Any other level would reach the library as its default.
  for (const int level : {-2, 10}) {
    EXPECT_EQ(testing::failure_of([&] { ZipFiles().Level(level); }).number(), err::kInvalidCall);
  }
}

// Names are keys without case (the placeholder's too); ninety-nine pass, a hundredth fails
// before the library.
TEST_F(ZipFilesRecorded, NamesAreKeysAndAHundredthFailsBeforeTheLibrary) {
  ZipFiles z;
  last_error() = LastError{5, "x", "stale"};
  z.addfile("C:\\Work\\\xC3\x89t\xC3\xA9.doc");  // Été.doc
  EXPECT_EQ(last_error().number, 0);
  for (const char* dup : {"QUERTY", "c:\\work\\\xC3\xA9T\xC3\x89.DOC"}) {
    EXPECT_EQ(testing::failure_of([&] { z.addfile(dup); }).number(), err::kKeyInUse) << dup;
  }
  EXPECT_EQ(z.ZipFileCount(), 1);

  zip.cue(REC_PRINT, std::string("earlier", 8), 7);
  ZipFiles ok;
  std::string expected = "100\nquerty\n";
  for (int i = 1; i <= 99; ++i) {
    const std::string name = "file" + std::to_string(i) + ".txt";
    ok.addfile(name);
    expected += name + "\n";
  }
  ok.MakeZipFile();
  EXPECT_EQ(zip.get("ZpArchive.names"), expected);
  ASSERT_EQ(ok.GetLastMessage(), "earlier");

  zip.reset();
  ok.addfile("one-too-many.txt");
  EXPECT_EQ(ok.ZipFileCount(), 100);
  const Failure f = testing::failure_of([&] { ok.MakeZipFile(); });
  EXPECT_EQ(said(f), "9 ZipFiles::MakeZipFile: Subscript out of range");
  EXPECT_EQ(zip.calls(), "");
  EXPECT_EQ(
      svc.message_boxes,
      (std::vector<testing::MessageBoxCall>{{"9   ZipFiles::MakeZipFile  Subscript out of range",
                                             MsgButtons::Ok, MsgIcon::None, ""}}));
  EXPECT_EQ(ok.GetLastMessage(), "earlier");
}

// A text the code page cannot carry must not reach a library as '?' or cut short: a zero byte
// ends it in every code page, a Chinese character in the single-byte ones. The builder shows
// each of its failures in a box.
TEST_F(Recorded, TextsTheCodePageCannotCarryFailBeforeTheLibrary) {
  size_t refused = 0;
  // "1", a zero byte, "2": digits, so that the capital root directory still holds it.
  for (const std::string& bad : {std::string("\xE4\xB8\xAD"), std::string("1\0002", 3)}) {
    bool exact = true;
    if (fs::to_ansi(bad, &exact).find('\0') == std::string::npos && exact) continue;  // UTF-8
    const std::string path = "C:\\in\\" + bad + ".zip";
    ZipFiles name, archive, root;
    name.addfile(path);
    archive.ZipFileName(path);
    root.RootDirectory(path);
    const Failure failures[] = {
        testing::failure_of([&] { name.MakeZipFile(); }),
        testing::failure_of([&] { archive.MakeZipFile(); }),
        testing::failure_of([&] { root.MakeZipFile(); }),
        testing::failure_of([&] { UnzipFiles().Unzip(path, "out"); }),
        testing::failure_of([&] { UnzipFiles().Unzip("a.zip", path); }),
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
      EXPECT_EQ(failures[i].source(), i < 3 ? "ZipFiles::MakeZipFile" : "UnzipFiles::Unzip") << i;
      EXPECT_NE(failures[i].description().find(bad), std::string::npos) << i;
    }
    refused += 3;
  }
  EXPECT_GE(refused, 3u);
  EXPECT_EQ(svc.message_boxes.size(), refused);
  EXPECT_EQ(zip.calls() + unzip.calls(), "");
}

// Print collects every text and lets window events run; no comment is offered; a password is
// refused.
TEST_F(ZipFilesRecorded, CallbacksCollectPrintsAndRefuseAPassword) {
  std::vector<std::string> seen_in_events;
  svc.on_do_events = [&] { seen_in_events.push_back(CodeModule::state().LastMessage); };
  zip.cue(REC_PRINT, std::string("  adding: a.txt\n", 17), 16);
  zip.cue(REC_PRINT, std::string("abc\0def", 7), 7);  // stops at the zero byte
  zip.cue(REC_PRINT, "truncated", 5);                 // takes only len bytes
  const std::string cafe = fs::to_ansi("caf\xC3\xA9");
  zip.cue(REC_PRINT, cafe + '\0', static_cast<int32_t>(cafe.size()));
  zip.cue(REC_PRINT, std::string(4097, 'y'), 100000);  // no zero: stops at 4096
  zip.cue(REC_COMMENT, "old comment!");
  zip.cue(REC_PASSWORD, {}, 32);
  ZipFiles z;
  z.MakeZipFile();
  EXPECT_EQ(z.GetLastMessage(), "  adding: a.txt\nabctrunccaf\xC3\xA9" + std::string(4097, 'y'));
  ASSERT_EQ(seen_in_events.size(), 5u);
  EXPECT_EQ(seen_in_events[1], "  adding: a.txt\nabc");
  EXPECT_EQ(zip.get("answers"), "0 0 0 0 0 1");  // no comment routine; no password
  EXPECT_EQ(zip.get("buffer.6"), std::string(32, 'x'));
}

TEST_F(ZipFilesRecorded, ARunStartedFromAWindowEventFailsAndLeavesTheFirstAlone) {
  std::string nested;
  svc.on_do_events = [&] {
    nested += said(testing::failure_of([] { ZipFiles().MakeZipFile(); })) + "\n";
    nested += said(testing::failure_of([] { UnzipFiles().Unzip("x.zip", "out"); }));
  };
  zip.cue(REC_PRINT, std::string("outer", 6), 5);
  zip.cue(REC_RESULT, {}, ZE_OK);
  ZipFiles outer;
  EXPECT_EQ(outer.MakeZipFile(), ZE_OK);
  EXPECT_EQ(nested,
            "5 ZipFiles::MakeZipFile: The archive engine is already running\n"
            "5 UnzipFiles::Unzip: The archive engine is already running");
  EXPECT_EQ(zip.calls(), "ZpInit ZpSetOptions ZpArchive");
  EXPECT_EQ(unzip.calls(), "");
  EXPECT_EQ(outer.GetLastMessage(), "outer");

  svc.on_do_events = nullptr;
  EXPECT_EQ(outer.MakeZipFile(), ZE_OK);  // the engine is free again
}

TEST_F(UnzipFilesRecorded, NewObjectHandsTheDefaultRecordsInOrder) {
  unzip.cue(REC_RESULT, {}, PK_WARN);
  UnzipFiles u;
  EXPECT_EQ(u.Unzip("a.zip", "out"), PK_WARN);
  EXPECT_EQ(unzip.calls(), "UzpVersion2 Wiz_SingleEntryUnzip");
  expect_integers(kNewObject);
  // Every entry: no names to include or exclude, in two empty lists.
  EXPECT_EQ(unzip.get("Wiz.ifnv") + unzip.get("Wiz.xfnv"), "0\n0\n");

  std::string callbacks(lay::kUzCbSize, '\0');
  lay::put_address(callbacks, lay::kUzCbPrint, &CodeModule::UnzipPrint);
  lay::put_address(callbacks, lay::kUzCbPassword, &CodeModule::UnzipPassword);
  lay::put_address(callbacks, lay::kUzCbListEntry, &CodeModule::UnzipListEntry);
  lay::put_address(callbacks, lay::kUzCbService, &CodeModule::UnzipService);
  EXPECT_EQ(unzip.get("Wiz.callbacks"), callbacks);

  // Its length (64) and flag 0, then the three texts blank to their last byte, then zeros.
  const auto blank = [](size_t n) { return std::string(n - 1, ' ') + '\0'; };
  EXPECT_EQ(unzip.get("UzpVersion2"), std::string("\x40\0\0\0\0\0\0\0", 8) + blank(10) + blank(20) +
                                          blank(10) + std::string(16, '\0'));

  // The arguments are stored; an empty one keeps the stored value.
  const auto handed = [&] {
    return unzip.get("Wiz.options.ZipFileName") + " " + unzip.get("Wiz.options.ExtractDir");
  };
  u.Unzip("", "second-dir");
  EXPECT_EQ(handed(), "a.zip second-dir");
  u.Unzip("first.zip");
  EXPECT_EQ(handed(), "first.zip second-dir");

  // Set alone on a new object, each switch changes only its own integer; an integer outside
  // sixteen bits fails before the library.
  for (const size_t slot : {5u, 6u}) {
    UnzipFiles v;
    slot == 5 ? v.TestZip(true) : v.ExtractList(1);
    v.Unzip("a.zip", "out");
    Fifteen expected = kNewObject;
    expected[slot] = 1;
    expect_integers(expected);
  }
  unzip.reset();
  u.ExtractList(32768);
  EXPECT_EQ(said(testing::failure_of([&] { u.Unzip("a.zip", "out"); })),
            "6 UnzipFiles::Unzip: Overflow");
  EXPECT_EQ(unzip.calls(), "");
  EXPECT_TRUE(svc.message_boxes.empty());
}

// The held password of a send, never a question: given whole, or not at all where the buffer
// has no room for it and its zero.
TEST_F(UnzipFilesRecorded, OnlyAHeldPasswordIsGivenAndNeverCut) {
  const std::string unchanged(81, 'x');
  const struct {
    int32_t size;
    std::string buffer;
  } cases[] = {
      {81, "secret" + std::string(75, '\0')},
      {7, std::string("secret\0", 7)},
      {6, std::string(6, 'x')},  // would be cut: refused
      {0, ""},
  };
  for (const auto& c : cases) unzip.cue(REC_PASSWORD, {}, c.size);
  {
    const CodeModule::HeldPassword held("secret");
    UnzipFiles().Unzip("a.zip", "out");
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(unzip.get("buffer." + std::to_string(i)), cases[i].buffer) << i;
  }
  unzip.cue(REC_PASSWORD, {}, 81);
  UnzipFiles().Unzip("a.zip", "out");  // none held
  EXPECT_EQ(unzip.get("buffer.4"), unchanged);
  EXPECT_EQ(unzip.get("answers"), "0 0 1 1 1");
  EXPECT_TRUE(svc.input_box_prompts.empty());
}

// A listed entry takes the whole sizes told just before it, which past 4 GiB its 32-bit record
// cannot hold, and only that entry does.
TEST_F(UnzipFilesRecorded, ListedSizesOf4GiBAndMoreComeWhole) {
  const struct {
    bool told;
    uint64_t size;
  } cases[] = {{true, (9ull << 29) + 12345}, {false, 0xFFFFFFFFull}, {true, 5ull << 32}};
  char name[] = "big.bin";
  for (const auto& c : cases) {
    if (c.told) CodeModule::UnzipListSizes(c.size, c.size / 2);
    CodeModule::UnzipListEntry(0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, ' ', name, nullptr, 7,
                               ' ');
  }
  const auto& listed = CodeModule::state().ListEntries;
  ASSERT_EQ(listed.size(), std::size(cases));
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].size, cases[i].size) << i;
    EXPECT_EQ(listed[i].packed_size, cases[i].told ? cases[i].size / 2 : 0xFFFFFFFFull) << i;
  }
}

// Without a library, or with one lacking an export, nothing is shown. The builder returns the
// missing library's code: the partial library's ZpSetOptions ran and refused with 0, the last
// result obtained, which passed on would read as ZE_OK for a run that archived nothing; its being
// found after a failed load shows that a missing library is looked for again on the next use.
// The extractor fails with its own source.
TEST_F(Recorded, MissingLibrariesOrExportsFailQuietly) {
  static_assert(ZipFiles::kLibraryUnavailable != ZE_OK);
  testing::TempFolder folder;
  ZipFiles z;
  for (const std::string& f : {folder.path(), testing::recording_folder() + kPathSep + "partial"}) {
    svc.folder = f;
    EXPECT_EQ(z.MakeZipFile(), ZipFiles::kLibraryUnavailable) << f;
    EXPECT_EQ(z.GetLastMessage(), f == folder.path() ? "" : "options refused");
  }
  svc.folder = folder.path();
  const std::string none = said(testing::failure_of([] { UnzipFiles().Unzip("a.zip", "out"); }));
  EXPECT_EQ(none.rfind("53 UnzipFiles::Unzip: File not found: ", 0), 0u) << none;
  // Then a library by that name that has the zip exports only.
  testing::write_file(
      folder / library_file_name("unzip32"),
      testing::read_file(testing::recording_folder() + kPathSep + library_file_name("zip32")));
  EXPECT_EQ(said(testing::failure_of([] { UnzipFiles().Unzip("a.zip", "out"); })),
            "453 UnzipFiles::Unzip: Specified DLL function not found: UzpVersion2");
  EXPECT_EQ(testing::failure_of([] {
              CodeModule::VBUnzip("a.zip", "out", CodeModule::UnzipIntegers{});
            }).source(),
            "CodeModule::VBUnzip");
  EXPECT_TRUE(svc.message_boxes.empty());
  EXPECT_EQ(zip.calls() + unzip.calls(), "");  // only the libraries beside the add-in are loaded
  ProgramState::reset();  // let go of the copied library so its folder can be removed
}

}  // namespace
}  // namespace parvex
