// ZipFiles and CodeModule's zip side against the recording zip library: the bytes of every
// record handed over, the names, the callbacks' answers and LastMessage.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "core/failure.h"
#include "platform/fs.h"
#include "record_layout.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"

namespace parvex {
namespace {

using testing::Recorder;
using testing::ScopedServices;
using testing::ScriptedServices;

namespace lay = layout;

bool all_zero(const std::string& bytes) {
  return bytes.find_first_not_of('\0') == bytes.npos;
}

class ZipFilesRecorded : public ::testing::Test {
 protected:
  ZipFilesRecorded() { svc.folder = testing::recording_folder(); }

  std::vector<std::string> handed_names() const {
    std::vector<std::string> names;
    for (int i = 0; i < ZIP_MAX_NAMES; ++i) {
      if (auto n = zip.get("ZpArchive.name." + std::to_string(i))) names.push_back(*n);
    }
    return names;
  }

  // Declared first so they close after the engine has let go of the libraries.
  Recorder zip{"zip32"};
  Recorder unzip{"unzip32"};
  ScriptedServices svc;
  ScopedServices scope{svc};
};

// Encryption and system files are kept but never handed: the record has no place for them.
TEST_F(ZipFilesRecorded, OptionRecordCarriesOnlyRecurseUpdateAndTheRootDirectory) {
  const struct {
    bool recurse, update, encrypted, system_files;
  } cases[] = {{false, false, false, false},
               {true, false, false, false},
               {false, true, false, false},
               {false, false, true, true},
               {true, true, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.recurse << c.update << c.encrypted << c.system_files);
    ZipFiles z;
    z.RecurseFolders(c.recurse);
    z.UpdatingZip(c.update);
    z.Encrypted(c.encrypted);
    z.IncludeSystemFiles(c.system_files);
    EXPECT_EQ(z.RecurseFolders(), c.recurse);
    EXPECT_EQ(z.UpdatingZip(), c.update);
    EXPECT_EQ(z.Encrypted(), c.encrypted);
    EXPECT_EQ(z.IncludeSystemFiles(), c.system_files);
    z.MakeZipFile();

    const std::string record = zip.get("ZpSetOptions").value_or("");
    ASSERT_EQ(record.size(), lay::kZipOptSize);
    std::string expected(lay::kZipOptSize, '\0');
    lay::put(expected, lay::kZipOptRecurse, c.recurse ? 1 : 0, 4);
    lay::put(expected, lay::kZipOptUpdate, c.update ? 1 : 0, 4);
    // The root directory's address is whatever the engine allocated; its text is checked here.
    const std::string root = record.substr(lay::kZipOptRoot, sizeof(char*));
    EXPECT_FALSE(all_zero(root));
    expected.replace(lay::kZipOptRoot, sizeof(char*), root);
    EXPECT_EQ(record, expected);
    EXPECT_EQ(zip.text("ZpSetOptions.root_directory"), "\\");
    EXPECT_FALSE(zip.get("ZpSetOptions.date"));
  }
}

TEST_F(ZipFilesRecorded, RootDirectoryGoesInCapitalsAndReadsBackUnchanged) {
  const struct {
    std::string set, handed;
  } cases[] = {
      {"c:\\temp\\out", "C:\\TEMP\\OUT"},
      {"\\", "\\"},
      {"d:\\dossier\\\xC3\xA9t\xC3\xA9 \xC5\x93uvre",
       fs::to_ansi("D:\\DOSSIER\\\xC3\x89T\xC3\x89 \xC5\x92UVRE")},
  };
  for (const auto& c : cases) {
    ZipFiles z;
    z.RootDirectory(c.set);
    z.MakeZipFile();
    EXPECT_EQ(z.RootDirectory(), c.set);
    EXPECT_EQ(zip.text("ZpSetOptions.root_directory"), c.handed) << c.set;
  }
}

TEST_F(ZipFilesRecorded, NewObjectHandsThePlaceholderAndTheCallbacks) {
  zip.cue(REC_RESULT, {}, ZE_NONE);
  ZipFiles z;
  z.ZipFileName("C:\\mail\\Attachments.zip");
  EXPECT_EQ(z.ZipFileCount(), 0);
  EXPECT_EQ(z.MakeZipFile(), ZE_NONE);
  EXPECT_EQ(zip.calls(), "ZpInit ZpSetOptions ZpArchive");
  EXPECT_EQ(zip.integer("ZpArchive.count"), 1);
  EXPECT_EQ(zip.text("ZpArchive.archive"), "C:\\mail\\Attachments.zip");
  EXPECT_EQ(handed_names(), std::vector<std::string>{"querty"});
  EXPECT_TRUE(svc.message_boxes.empty());

  std::string callbacks(lay::kZipCbSize, '\0');
  lay::put_address(callbacks, lay::kZipCbPrint, &CodeModule::ZipPrint);
  lay::put_address(callbacks, lay::kZipCbPassword, &CodeModule::ZipPassword);
  lay::put_address(callbacks, lay::kZipCbComment, &CodeModule::ZipComment);
  EXPECT_EQ(zip.get("ZpInit"), callbacks);
}

TEST_F(ZipFilesRecorded, NinetyNineNamesPassAndAHundredFailBeforeTheLibrary) {
  zip.cue(REC_PRINT, std::string("earlier", 8), 7);
  ZipFiles ok;
  std::vector<std::string> expected{"querty"};
  for (int i = 1; i <= 99; ++i) {
    expected.push_back("file" + std::to_string(i) + ".txt");
    ok.addfile(expected.back());
  }
  ok.MakeZipFile();
  EXPECT_EQ(zip.integer("ZpArchive.count"), 100);
  EXPECT_EQ(handed_names(), expected);
  ASSERT_EQ(ok.GetLastMessage(), "earlier");

  zip.reset();
  ok.addfile("one-too-many.txt");
  EXPECT_EQ(ok.ZipFileCount(), 100);
  const Failure f = testing::failure_of([&] { ok.MakeZipFile(); });
  EXPECT_EQ(f.number(), err::kSubscriptRange);
  EXPECT_EQ(f.source(), "ZipFiles::MakeZipFile");
  EXPECT_EQ(f.description(), "Subscript out of range");
  EXPECT_EQ(zip.calls(), "");
  ASSERT_EQ(svc.message_boxes.size(), 1u);
  EXPECT_EQ(svc.message_boxes[0].text, "9   ZipFiles::MakeZipFile  Subscript out of range");
  EXPECT_EQ(svc.message_boxes[0].buttons, MsgButtons::Ok);
  EXPECT_EQ(svc.message_boxes[0].caption, "");
  EXPECT_EQ(ok.GetLastMessage(), "earlier");
}

TEST_F(ZipFilesRecorded, KeysCompareWithoutCaseAndRemoveFileRecordsMisses) {
  ZipFiles z;
  last_error() = LastError{5, "x", "stale"};
  z.addfile("C:\\Work\\\xC3\x89t\xC3\xA9.doc");  // Été.doc
  EXPECT_EQ(last_error().number, 0);
  for (const char* dup : {"QUERTY", "c:\\work\\\xC3\xA9T\xC3\x89.DOC"}) {
    EXPECT_EQ(testing::failure_of([&] { z.addfile(dup); }).number(), err::kKeyInUse) << dup;
  }
  EXPECT_EQ(z.ZipFileCount(), 1);

  z.RemoveFile("missing.doc");
  EXPECT_EQ(last_error().number, static_cast<int32_t>(0x800407D2));
  EXPECT_EQ(last_error().source, "CGZip::RemoveFile");
  EXPECT_EQ(last_error().description, "File is not in Zip List");
  EXPECT_EQ(z.ZipFileCount(), 1);

  z.RemoveFile("Querty");
  EXPECT_EQ(z.ZipFileCount(), 0);
  z.MakeZipFile();
  EXPECT_EQ(handed_names(),
            std::vector<std::string>{fs::to_ansi("C:\\Work\\\xC3\x89t\xC3\xA9.doc")});
  EXPECT_EQ(zip.integer("ZpArchive.count"), 1);
}

TEST_F(ZipFilesRecorded, TextsTheCodePageCannotCarryFailBeforeTheLibrary) {
  const struct {
    const char* what;
    std::string name, archive;
  } cases[] = {
      {"name", "C:\\in\\\xE4\xB8\xAD.txt", "C:\\out.zip"},
      {"archive", "C:\\in\\a.txt", "C:\\\xD0\x96\xE4\xB8\xAD.zip"},
      {"name", std::string("C:\\in\\a\0b.txt", 13), "C:\\out.zip"},  // no code page carries it
  };
  size_t refused = 0;
  for (const auto& c : cases) {
    const std::string& text = c.what == std::string("name") ? c.name : c.archive;
    bool exact = true;
    if (fs::to_ansi(text, &exact).find('\0') == std::string::npos && exact) continue;  // UTF-8
    ++refused;
    ZipFiles z;
    z.addfile(c.name);
    z.ZipFileName(c.archive);
    const Failure f = testing::failure_of([&] { z.MakeZipFile(); });
    EXPECT_EQ(f.source(), "ZipFiles::MakeZipFile") << c.what << " went through as '?'";
    EXPECT_NE(f.description().find(text), std::string::npos) << f.description();
    EXPECT_EQ(zip.calls(), "") << c.what;
  }
  EXPECT_GE(refused, 1u);
  EXPECT_EQ(svc.message_boxes.size(), refused);
}

TEST_F(ZipFilesRecorded, ZipPrintCollectsEveryTextAndLetsEventsRun) {
  EXPECT_EQ(ZipFiles().GetLastMessage(), "");
  std::vector<std::string> seen_in_events;
  svc.on_do_events = [&] { seen_in_events.push_back(CodeModule::state().LastMessage); };
  zip.cue(REC_PRINT, std::string("  adding: a.txt\n", 17), 16);
  zip.cue(REC_PRINT, std::string("abc\0def", 7), 7);  // stops at the zero byte
  zip.cue(REC_PRINT, "truncated", 5);                 // takes only len bytes
  const std::string cafe = fs::to_ansi("caf\xC3\xA9");
  zip.cue(REC_PRINT, cafe + '\0', static_cast<int32_t>(cafe.size()));
  zip.cue(REC_PRINT, std::string(4097, 'y'), 100000);  // no zero: stops at 4096
  ZipFiles z;
  z.MakeZipFile();
  const std::string head = "  adding: a.txt\nabctrunccaf\xC3\xA9";
  const std::string message = z.GetLastMessage();
  EXPECT_EQ(message.substr(0, head.size()), head);
  EXPECT_EQ(message.size(), head.size() + 4097);
  EXPECT_EQ(message.find_first_not_of('y', head.size()), std::string::npos);
  ASSERT_EQ(seen_in_events.size(), 5u);
  EXPECT_EQ(seen_in_events[1], "  adding: a.txt\nabc");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(zip.integer("answer." + std::to_string(i)), 0);

  zip.cue(REC_PRINT, std::string("second run", 11), 10);
  z.MakeZipFile();
  EXPECT_EQ(ZipFiles().GetLastMessage(), "second run");
}

TEST_F(ZipFilesRecorded, CommentIsEmptiedCopyAndPasswordIsRefused) {
  std::string original(4097, '\0');
  original.replace(0, 12, "old comment!");
  zip.cue(REC_COMMENT, original);
  zip.cue(REC_PASSWORD, {}, 32);
  ZipFiles().MakeZipFile();
  const std::string returned = zip.get("buffer.0").value_or("");
  ASSERT_EQ(returned.size(), 4097u);
  EXPECT_EQ(returned[0], '\0');
  EXPECT_EQ(returned.substr(1), original.substr(1));
  EXPECT_EQ(zip.integer("answer.1"), 1);
  EXPECT_EQ(zip.get("buffer.1"), std::string(32, 'x'));
}

TEST_F(ZipFilesRecorded, MissingLibraryReturnsItsCodeQuietly) {
  testing::TempFolder empty;
  svc.folder = empty.path();
  zip.cue(REC_PRINT, std::string("earlier", 8), 7);
  ZipFiles z;
  EXPECT_EQ(z.MakeZipFile(), ZipFiles::kLibraryUnavailable);
  EXPECT_NE(ZipFiles::kLibraryUnavailable, ZE_OK);
  EXPECT_TRUE(svc.message_boxes.empty());
  EXPECT_EQ(z.GetLastMessage(), "");
  EXPECT_EQ(zip.calls(), "");

  // Found on a later use once it is there.
  svc.folder = testing::recording_folder();
  EXPECT_EQ(z.MakeZipFile(), ZE_OK);
  EXPECT_EQ(z.GetLastMessage(), "earlier");
}

TEST_F(ZipFilesRecorded, LibraryWithoutZpArchiveReturnsTheMissingLibrarysCode) {
  // ZpSetOptions ran and refused with 0, the last result obtained; passed on, it would read as
  // ZE_OK for a run that archived nothing.
  svc.folder = testing::recording_folder() + kPathSep + "partial";
  ZipFiles z;
  EXPECT_EQ(z.MakeZipFile(), ZipFiles::kLibraryUnavailable);
  EXPECT_EQ(z.GetLastMessage(), "options refused");
  EXPECT_TRUE(svc.message_boxes.empty());
}

TEST_F(ZipFilesRecorded, ARunStartedFromAWindowEventFailsAndLeavesTheFirstAlone) {
  std::vector<Failure> nested;
  svc.on_do_events = [&] {
    nested.push_back(testing::failure_of([] { ZipFiles().MakeZipFile(); }));
    nested.push_back(testing::failure_of([] { UnzipFiles().Unzip("x.zip", "out"); }));
  };
  zip.cue(REC_PRINT, std::string("outer", 6), 5);
  zip.cue(REC_RESULT, {}, ZE_OK);
  ZipFiles outer;
  EXPECT_EQ(outer.MakeZipFile(), ZE_OK);
  ASSERT_EQ(nested.size(), 2u);
  EXPECT_EQ(nested[0].source(), "ZipFiles::MakeZipFile");
  EXPECT_EQ(nested[1].source(), "UnzipFiles::Unzip");
  EXPECT_EQ(zip.calls(), "ZpInit ZpSetOptions ZpArchive");
  EXPECT_EQ(unzip.calls(), "");
  EXPECT_EQ(outer.GetLastMessage(), "outer");

  svc.on_do_events = nullptr;
  EXPECT_EQ(outer.MakeZipFile(), ZE_OK);  // the engine is free again
}

}  // namespace
}  // namespace parvex
