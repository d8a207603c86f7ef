// The send path end to end: the simulated client sends a mail item through Connect, with our
// real zip and unzip libraries beside a temporary add-in folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "addin_fixture.h"
#include "archive/unzip_files.h"
#include "compression/mail_send.h"
#include "compression/signature.h"
#include "platform/fs.h"
#include "sim/sim_outlook.h"
#include "support/statistics.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

using Files = std::map<std::string, std::string>;
using testing::as_path;
using testing::kStamp;
using testing::line;

// Names, sizes and a checksum of the bytes: short enough to read when a comparison fails.
std::string summary(const Files& files) {
  std::string text;
  for (const auto& [name, bytes] : files) {
    uint32_t h = 2166136261u;
    for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    text += name + "=" + std::to_string(bytes.size()) + "/" + std::to_string(h) + " ";
  }
  return text;
}
// One host run: the add-in connected to a simulated client with a main window open.
struct Session {
  Session() {
    outlook.open_explorer("Inbox");
    connect.OnConnection(outlook.application(), host::ConnectMode::Startup, outlook.addin());
  }
  ~Session() {
    connect.OnBeginShutdown();
    connect.OnDisconnection(host::DisconnectMode::HostShutdown);
  }
  std::shared_ptr<sim::SimItem> open_mail(const std::string& subject, const Files& files) {
    auto mail = outlook.new_mail(subject);
    for (const auto& [name, bytes] : files) mail->attach_bytes(name, bytes);
    outlook.open_inspector(mail, subject + " - Message");
    return mail;
  }
  sim::SentMessage send(const std::string& subject, const Files& files) {
    outlook.send(open_mail(subject, files));
    return outlook.outbox().back();
  }

  sim::SimOutlook outlook;
  Connect connect;
};

class SendTest : public testing::AddinTest {
 protected:
  SendTest() { testing::copy_libraries(dir.path()); }

  // The files inside an archive, as our unzip library extracts them.
  Files unpack(const std::string& archive_bytes) {
    testing::TempFolder out;
    testing::write_file(out / "DD.zip", archive_bytes);
    fs::make_folder(out / "x");
    UnzipFiles u;
    EXPECT_EQ(u.Unzip(out / "DD.zip", out / "x"), 0) << u.GetLastMessage();
    // Flat: a folder entry in the archive would leave its file out and fail the comparison.
    Files found;
    for (const auto& name : fs::list_files(out / "x")) {
      found[name] = testing::read_file(out / "x" + kPathSep + name);
    }
    return found;
  }
  static Files attachments_of(const sim::SentMessage& m) {
    Files files;
    for (const auto& a : m.attachments) files[a.file_name] = a.bytes;
    return files;
  }
  // Whether the send's error line reached the event log or the log file it is saved to.
  bool error_logged() {
    std::string text =
        fs::is_file(dir / "ziplogfile.log") ? testing::read_file(dir / "ziplogfile.log") : "";
    for (const auto& line : log()) text += line + "\r\n";
    return text.find(kStamp + "Eroare Mailsend ") != std::string::npos;
  }
  // The event log without the window trackers' lines.
  std::vector<std::string> send_log() {
    std::vector<std::string> lines;
    for (const auto& l : log()) {
      if (l.find("Inspector: ") == l.npos && l.find(" inchis") == l.npos &&
          l.find("Obiect ramas") == l.npos)
        lines.push_back(l);
    }
    return lines;
  }
  bool work_is_clean() {
    return fs::list_files(dir / "Attachments").empty() && !fs::is_file(dir / "Attachments.zip");
  }
};

const Files kThree{{"report.pdf", std::string(70000, 'r') + "end"},
                   {"empty.dat", ""},
                   {"caf\xC3\xA9 menu.txt", "soupe du jour\n"}};

TEST_F(SendTest, AttachmentsLeaveAsOneArchiveThatOtherReadersAccept) {
  Session s;
  const double normal_before = statistics().TotalNormalBytes;  // read at connection
  const auto sent = s.send("three", kThree);

  ASSERT_EQ(sent.attachments.size(), 1u);
  EXPECT_EQ(sent.attachments[0].display_name, "DD");
  Files inside = unpack(sent.attachments[0].bytes);
  double normal = 0;
  for (const auto& [name, bytes] : inside) normal += static_cast<double>(bytes.size());
  EXPECT_EQ(statistics().TotalNormalBytes, normal_before + normal);
  EXPECT_EQ(std::stod(testing::read_file(dir / "parvex.log")), normal_before + normal);
  EXPECT_EQ(inside.extract("Readme.txt").mapped(), fs::to_ansi(SignatureText()) + "\r\n");
  EXPECT_EQ(summary(inside), summary(kThree));
  EXPECT_TRUE(work_is_clean());

#ifndef _WIN32
  const std::string archive = dir / "DD.zip";
  testing::write_file(archive, sent.attachments[0].bytes);
  EXPECT_EQ(std::system(("unzip -tqq '" + archive + "' > /dev/null").c_str()), 0);
  const std::string python =
      "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); sys.exit(z.testzip() "
      "is not None or sorted(z.namelist()) != ['Readme.txt', 'caf\\u00e9 menu.txt', "
      "'empty.dat', 'report.pdf'])\" '" +
      archive + "'";
  EXPECT_EQ(std::system(python.c_str()), 0);
#endif
}

TEST_F(SendTest, NamesThatCollideOrCannotBeFilesStillReachTheArchive) {
  const Files tricky{{"Notes.txt", "one"},
                     {"notes.TXT", "two"},
                     {"..\\..\\escape.txt", "three"},
                     {"a:b|c?.txt", "four"},
                     {"CON.txt", "five"},
                     {"trailing. .", "six"},
                     {"\xE6\x97\xA5\xE6\x9C\xAC.txt", "seven"},
                     {"", "eight"}};
  Session s;
  const auto sent = s.send("tricky", tricky);
  ASSERT_EQ(sent.attachments.size(), 1u);
  const Files inside = unpack(sent.attachments[0].bytes);
  std::multiset<std::string> contents, expected;
  for (const auto& [name, bytes] : inside) {
    if (name != "Readme.txt") contents.insert(bytes);
  }
  for (const auto& [name, bytes] : tricky) expected.insert(bytes);
  EXPECT_EQ(contents, expected);
  EXPECT_FALSE(fs::is_file(dir.path() + kPathSep + ".." + kPathSep + "escape.txt"));
  EXPECT_TRUE(work_is_clean());

  std::set<std::string> taken;
  for (const auto& [given, saved] :
       std::vector<std::pair<std::string, std::string>>{{"Notes.txt", "Notes.txt"},
                                                        {"NOTES.txt", "NOTES (2).txt"},
                                                        {"notes.txt", "notes (3).txt"},
                                                        {"dir/sub\\x.txt", "x.txt"},
                                                        {"a:b|c?.txt", "a_b_c_.txt"},
                                                        {"lpt1", "_lpt1"},
                                                        {"Aux.log", "_Aux.log"},
                                                        {"CONsole.txt", "CONsole.txt"},
                                                        {"name. . ", "name"},
                                                        {"..", "attachment"},
                                                        {"Readme", "Readme"}}) {
    EXPECT_EQ(compression::saved_name(given, taken), saved) << given;
  }
}

TEST_F(SendTest, ItemsTheAddInMustNotPackLeaveUnchanged) {
  Session s;
  // Leftovers of an earlier failed send go before anything else happens.
  testing::write_file(dir / "Attachments" + kPathSep + "left over.txt", "old");
  testing::write_file(dir / "Attachments.zip", "old archive");
  clear_log();
  EXPECT_TRUE(s.send("no files", {}).attachments.empty());
  EXPECT_EQ(send_log(), (std::vector<std::string>{kStamp + " Deleting..left over.txt",
                                                  kStamp + " Deleting..Attachments.zip"}));
  EXPECT_TRUE(work_is_clean());

  // Only the item of the mail window opened last is tracked.
  const auto first = s.open_mail("first", kThree);
  const auto second = s.open_mail("second", kThree);
  s.outlook.send(first);
  EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
  // A contact window opened later does not untrack the mail item.
  s.outlook.open_inspector(s.outlook.new_item(40, "Ana Pop"), "Ana Pop - Contact");
  clear_log();
  s.outlook.read(second);
  EXPECT_EQ(send_log(),
            (std::vector<std::string>{line("objMailItem_Read"), line("# attachmen = 3")}));

  // The check box cleared: nothing logged, saved or changed.
  ui::touch<ui::frm_about>().parvex_chk.value = 0;
  clear_log();
  s.outlook.send(second);
  EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
  EXPECT_TRUE(send_log().empty());
}

TEST_F(SendTest, ASendOrZipArrivingWhilePackingIsRefused) {
  Session s;
  const auto first = s.open_mail("first", kThree);
  std::shared_ptr<sim::SimItem> second;
  services.on_do_events = [&] {
    if (second) return;
    second = s.open_mail("second", {{"b.txt", "bee"}});
    s.outlook.send(second);
    ui::touch<ui::frm_outlook>().cmd_ZIP.click();
  };
  s.outlook.send(first);
  ASSERT_TRUE(second);
  ASSERT_EQ(s.outlook.outbox().size(), 2u);
  EXPECT_EQ(attachments_of(s.outlook.outbox()[0]), (Files{{"b.txt", "bee"}}));
  EXPECT_EQ(s.outlook.outbox()[1].attachments.size(), 1u);
  EXPECT_EQ(unpack(s.outlook.outbox()[1].attachments[0].bytes).size(), 4u);
  const auto lines = log();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("refused") != l.npos; }),
            2);
}

// Whatever single host call of a send fails, the item leaves with every file the user
// attached, as itself or inside "DD"; the failure is logged, packing is switched off, and the
// next send's archive holds only its own files.
TEST_F(SendTest, AFailingHostCallNeverCostsTheItemAFile) {
  size_t calls_of_a_send = 0;
  {
    Session s;
    const auto mail = s.open_mail("count", kThree);
    const size_t mark = s.outlook.calls().size();
    s.outlook.send(mail);
    calls_of_a_send = s.outlook.calls().size() - mark;
  }
  ASSERT_GT(calls_of_a_send, 10u);
  for (size_t k = 0; k < calls_of_a_send; ++k) {
    SCOPED_TRACE("host call " + std::to_string(k));
    Session s;
    const auto mail = s.open_mail("faulty", kThree);
    s.outlook.fail_call_at(s.outlook.calls().size() + k);
    s.outlook.send(mail);
    s.outlook.stop_failing();
    ASSERT_FALSE(s.outlook.outbox().empty());
    const auto& sent = s.outlook.outbox().back();
    if (sent.attachments.size() == 1 && sent.attachments[0].display_name == "DD") {
      Files inside = unpack(sent.attachments[0].bytes);
      inside.erase("Readme.txt");
      EXPECT_EQ(summary(inside), summary(kThree));
    } else {
      EXPECT_EQ(summary(attachments_of(sent)), summary(kThree));
    }
    // The error path clears the check box, and its line is in the list or, saved, in the file.
    if (ui::touch<ui::frm_about>().parvex_chk.value == 0) {
      EXPECT_TRUE(error_logged());
      ui::touch<ui::frm_about>().parvex_chk.value = 1;
    }
    const auto next = s.send("next", {{"only.txt", "mine"}});
    ASSERT_EQ(next.attachments.size(), 1u);
    EXPECT_EQ(unpack(next.attachments[0].bytes).size(), 2u);
    EXPECT_TRUE(work_is_clean());
  }
}

// When even putting the files back fails, the item is kept from leaving rather than sent short.
TEST_F(SendTest, AnItemThatCannotGetItsFilesBackStaysUnsent) {
  Session s;
  const auto mail = s.open_mail("stuck", kThree);
  s.outlook.fail("Attachments.Add", 2);
  EXPECT_FALSE(s.outlook.send(mail));
  EXPECT_TRUE(s.outlook.outbox().empty());
  EXPECT_EQ(mail->attachments().size(), 2u);
  EXPECT_TRUE(error_logged());
}

// The same for the file steps: each arrangement makes one of them fail.
TEST_F(SendTest, AFailingFileStepNeverCostsTheItemAFile) {
  const std::string work = dir / "Attachments";
  // The missing library comes first: once loaded, a library stays loaded in this process.
  const std::vector<std::pair<const char*, std::function<void()>>> faults{
      {"zip library missing", [&] { fs::delete_file(dir / library_file_name("zip32")); }},
      {"working folder is a file",
       [&] {
         std::filesystem::remove(as_path(work));
         testing::write_file(work, "x");
       }},
      {"readme cannot be written", [&] { fs::make_folder(work + kPathSep + "Readme.txt"); }},
      {"attachment cannot be saved", [&] { fs::make_folder(work + kPathSep + "empty.dat"); }},
      {"archive cannot be written", [&] { fs::make_folder(dir / "Attachments.zip"); }},
      {"statistics cannot be written",
       [&] {
         fs::delete_file(dir / "parvex.log");
         fs::make_folder(dir / "parvex.log");
       }},
  };
  for (const auto& [what, arrange] : faults) {
    SCOPED_TRACE(what);
    Session s;
    const auto mail = s.open_mail("faulty", kThree);
    arrange();
    s.outlook.send(mail);
    EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
    EXPECT_TRUE(error_logged());
    EXPECT_EQ(ui::touch<ui::frm_about>().parvex_chk.value, 0);
    for (const char* name : {"Attachments", "Attachments.zip", "parvex.log"}) {
      std::filesystem::remove_all(as_path(dir / name));
    }
    testing::copy_libraries(dir.path());
  }
}

}  // namespace
}  // namespace parvex
