// The send path end to end: the simulated client sends a mail item through Connect, with our
// real zip and unzip libraries beside a temporary add-in folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "addin_fixture.h"
#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "compression/mail_send.h"
#include "compression/signature.h"
#include "platform/fs.h"
#include "support/options.h"
#include "support/statistics.h"
#include "support/work_lock.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

using testing::as_path;
using testing::Files;
using testing::kStamp;
using testing::line;

// Names, sizes and a checksum of the bytes: short enough to read when a comparison fails.
std::string summary(const Files& files) {
  std::string text;
  for (const auto& [name, bytes] : files) {
    const size_t hash = std::hash<std::string>{}(bytes);
    text += name + "=" + std::to_string(bytes.size()) + "/" + std::to_string(hash) + " ";
  }
  return text;
}
// The bytes of the files, whatever names they went under.
std::multiset<std::string> contents(const Files& files) {
  std::multiset<std::string> bytes;
  for (const auto& [name, b] : files) bytes.insert(b);
  return bytes;
}

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
    return testing::files_in(out / "x");
  }
  static Files attachments_of(const sim::SentMessage& m) {
    Files files;
    for (const auto& a : m.attachments) files[a.file_name] = a.bytes;
    return files;
  }
  // What a message carries: its files, unpacked from "DD" (without the readme) if it is one.
  Files carried(const sim::SentMessage& m) {
    if (m.attachments.size() != 1 || m.attachments[0].display_name != "DD") {
      return attachments_of(m);
    }
    Files inside = unpack(m.attachments[0].bytes);
    inside.erase("Readme.txt");
    return inside;
  }
  static Files on_item(const sim::SimItem& mail) {
    Files files;
    for (const auto& a : mail.attachments()) files[a->file_name()] = a->bytes();
    return files;
  }
  // File names in the order the item holds them.
  static std::vector<std::string> names_of(const std::vector<sim::SentAttachment>& list) {
    std::vector<std::string> names;
    for (const auto& a : list) names.push_back(a.file_name);
    return names;
  }
  // The files kept aside because they could not be put back on their item.
  Files unsent() { return testing::files_in(dir / "Unsent attachments"); }
  // The send's error line, from the event log or the log file it is saved to; empty if none.
  std::string error_line() {
    std::string text =
        fs::is_file(dir / "ziplogfile.log") ? testing::read_file(dir / "ziplogfile.log") : "";
    for (const auto& line : log()) text += line + "\r\n";
    const auto at = text.rfind(kStamp + "Eroare Mailsend ");
    if (at == std::string::npos) return "";
    std::string found = text.substr(at, text.find("\r\n", at) - at);
    if (found.ends_with(" 1 ")) found.resize(found.size() - 3);  // the saved log's line end
    return found;
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
  // The promise for an item sent with `files`: it left with each of them, as itself or inside
  // "DD" (each entry but the readme encrypted when a password was given), or it stayed with
  // each on it or kept aside. What left, or nothing.
  const sim::SentMessage* expect_every_file(bool left, const sim::SimItem& mail, const Files& files,
                                            bool protect, const testing::Session& s) {
    if (!left) {
      Files kept = unsent();
      kept.merge(on_item(mail));
      EXPECT_TRUE(contents(kept) == contents(files));
      return nullptr;
    }
    const auto& sent = s.outlook.outbox().back();
    std::optional<CodeModule::HeldPassword> password;
    if (protect) {
      if (sent.attachments.size() != 1 || sent.attachments[0].display_name != "DD") {
        ADD_FAILURE() << "left unprotected";
        return &sent;
      }
      for (const auto& e : testing::listing(sent.attachments[0].bytes.path())) {
        EXPECT_TRUE(e.encrypted || e.name == "Readme.txt") << e.name;
      }
      password.emplace("pw");
    }
    EXPECT_TRUE(contents(carried(sent)) == contents(files));
    return &sent;
  }
};

const Files kThree{{"report.pdf", std::string(70000, 'r') + "end"},
                   {"empty.dat", ""},
                   {"caf\xC3\xA9 menu.txt", "soupe du jour\n"}};

TEST_F(SendTest, AttachmentsLeaveAsOneArchiveThatOtherReadersAccept) {
  testing::Session s;
  const double normal_before = statistics().TotalNormalBytes;  // read at connection
  std::filesystem::remove_all(as_path(dir / "Attachments"));   // made again by the send
  clear_log();
  const auto sent = s.send("three", kThree);
  for (const auto& [name, bytes] : kThree) {
    EXPECT_NE(std::find(log().begin(), log().end(), line(name + " files saved")), log().end());
  }

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
  testing::Session s;
  const auto sent = s.send("tricky", tricky);
  ASSERT_EQ(sent.attachments.size(), 1u);
  EXPECT_TRUE(contents(carried(sent)) == contents(tricky));
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
  testing::Session s;
  // Leftovers of an earlier failed send go before anything else happens.
  testing::write_file(dir / "Attachments" + kPathSep + "left over.txt", "old");
  testing::write_file(dir / "Attachments.zip", "old archive");
  clear_log();
  EXPECT_TRUE(s.send("no files", {}).attachments.empty());
  EXPECT_EQ(s.outlook.outbox().size(), 1u);  // it left
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

  // Another process holds the add-in folder's files past the wait: one line, nothing changed.
  {
    fs::FileLock other;
    ASSERT_TRUE(other.try_lock(work_lock_path()));
    clear_log();
    s.outlook.send(second);
    EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
    ASSERT_EQ(send_log().size(), 1u);
    EXPECT_NE(send_log()[0].find("in use by another program"), std::string::npos);
    EXPECT_EQ(ui::touch<ui::frm_about>().parvex_chk.value, 1);
  }

  // The check box cleared: nothing logged, saved or changed.
  ui::touch<ui::frm_about>().parvex_chk.value = 0;
  clear_log();
  s.outlook.send(second);
  EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
  EXPECT_TRUE(send_log().empty());
}

TEST_F(SendTest, ASendOrZipArrivingWhilePackingIsRefused) {
  testing::Session s;
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

// Attachments whose saved names differ from their own ("notes.TXT" beside "Notes.txt").
const Files kFive{{"Notes.txt", "one"},
                  {"caf\xC3\xA9 menu.txt", "soupe du jour\n"},
                  {"empty.dat", ""},
                  {"notes.TXT", "two"},
                  {"report.pdf", std::string(70000, 'r') + "end"}};

// A copy changed (to other bytes of the same size), or an attachment added, while the archive
// is being made: the item keeps its own files, and with a password the send is cancelled. The
// readme's name taken by an attachment is no reason to fail.
TEST_F(SendTest, OnlyAnArchiveHoldingEachFileAsSavedReplacesTheAttachments) {
  const std::string work = dir / "Attachments";
  struct Case {
    const char* what;
    Files files;
    std::function<void(sim::SimItem&)> meanwhile;
    bool packed;
  };
  const std::vector<Case> cases{
      {"a copy changed", kThree,
       [&](sim::SimItem&) {
         testing::write_file(work + kPathSep + "report.pdf", std::string(70003, 'x'));
       },
       false},
      {"an attachment added", kThree,
       [](sim::SimItem& item) { item.attach_bytes("late.txt", "l"); }, false},
      {"the readme's name taken", {{"README.TXT", "mine"}, {"b.txt", "bee"}}, nullptr, true},
  };
  for (const auto& c : cases) {
    for (const bool protect : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (protect ? ", with a password" : ""));
      write_options({protect, 0});
      if (protect) services.input_box_answers = {"pw"};
      testing::Session s;
      const auto mail = s.open_mail("packed", c.files);
      bool done = false;
      services.on_do_events = [&] {
        if (done || !c.meanwhile) return;
        done = true;
        c.meanwhile(*mail);
      };
      const bool left = s.outlook.send(mail);
      services.on_do_events = nullptr;
      Files expected = c.files;
      if (mail->attachments().size() > c.files.size()) expected["late.txt"] = "l";
      if (protect && !c.packed) {
        EXPECT_FALSE(left);
        EXPECT_EQ(summary(on_item(*mail)), summary(expected));
      } else if (c.packed) {
        const auto& sent = s.outlook.outbox().back();
        ASSERT_EQ(sent.attachments.size(), 1u);
        std::optional<CodeModule::HeldPassword> password;
        if (protect) password.emplace("pw");
        std::multiset<std::string> inside;
        for (const auto& [name, bytes] : unpack(sent.attachments[0].bytes)) inside.insert(bytes);
        for (const auto& [name, bytes] : c.files) EXPECT_TRUE(inside.contains(bytes)) << name;
      } else {
        EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(expected));
      }
    }
  }
}

// The check of a protected archive: every attachment encrypted, and decrypted with the
// password to the saved bytes (no CRC is recorded to compare); a plain copy, or altered bytes
// under the encryption, keep the attachments on the item.
TEST_F(SendTest, TheCheckDecryptsAProtectedArchiveAndRefusesAnUnprotectedOne) {
  const std::string work = compression::working_folder() + kPathSep;
  fs::ensure_folder(compression::working_folder());
  testing::write_file(work + "a.txt", std::string(3000, 'a'));
  testing::write_file(work + compression::kReadme, "read me");
  const auto files = std::vector{compression::fingerprint(work + "a.txt")};
  const auto readme = compression::fingerprint(work + compression::kReadme);
  CodeModule::HeldPassword password("pw");
  const auto pack = [&](bool encrypt, long flip) {
    if (fs::exists_no_follow(compression::archive_file())) {
      fs::delete_file(compression::archive_file());
    }
    for (const std::string name : {compression::kReadme, "a.txt"}) {
      ZipFiles zip;
      zip.ZipFileName(compression::archive_file());
      zip.addfile(work + name);
      zip.Encrypted(encrypt && name == "a.txt");
      ASSERT_EQ(zip.MakeZipFile(), 0);
    }
    if (flip == 0) return;
    std::string bytes = testing::read_file(compression::archive_file());
    bytes[bytes.rfind("a.txt", bytes.size() - 100) + static_cast<size_t>(flip)] ^= 1;
    testing::write_file(compression::archive_file(), bytes);
  };
  const auto passes = [&](bool protect) {
    try {
      compression::check_archive(files, readme, protect);
      return true;
    } catch (...) {
      return false;
    }
  };
  pack(true, 0);
  EXPECT_TRUE(passes(true));
  pack(false, 0);
  EXPECT_TRUE(passes(false));
  EXPECT_FALSE(passes(true)) << "a plain copy in a protected archive";
  pack(true, 5 + 11 + 18);  // name, AES block, salt and verifier: the data's first byte
  EXPECT_FALSE(passes(true)) << "altered bytes under the encryption";
}

// The host disconnects the add-in while the archive is being made (window events run then):
// the send finishes with the windows and libraries it started with, and everything goes after.
TEST_F(SendTest, ADisconnectionWhilePackingWaitsForTheSend) {
  testing::Session s;
  const auto mail = s.open_mail("last", kThree);
  bool gone = false;
  services.on_do_events = [&] {
    if (gone) return;
    gone = true;
    s.connect.OnBeginShutdown();
    s.connect.OnDisconnection(host::DisconnectMode::HostShutdown);
    EXPECT_TRUE(ui::exists<ui::frm_outlook>());
  };
  s.outlook.send(mail);
  services.on_do_events = nullptr;
  ASSERT_TRUE(gone);
  EXPECT_EQ(summary(carried(s.outlook.outbox().back())), summary(kThree));
  EXPECT_EQ(s.outlook.outbox().back().attachments.size(), 1u);
  EXPECT_FALSE(ui::exists<ui::frm_outlook>());
  EXPECT_FALSE(ui::exists<ui::frm_about>());
  EXPECT_EQ(s.outlook.counters().subscriptions, 0);
  EXPECT_EQ(s.outlook.counters().references, 0);
}

// Whatever fails: a host member of a send (once, twice, three times or always), each single
// call of a send, or a file step; or links planted in the add-in folder. The item leaves with
// every file, as itself (same names, same order) or inside "DD", or stays unsent with each
// missing file's copy kept and named to the user; with a password it leaves protected or not
// at all. Only bytes that left as "DD" count; nothing outside the add-in folder is read,
// written or deleted; the next send packs again.
TEST_F(SendTest, FailingHostCallsOrFileStepsNeverCostAFileNorReachOutside) {
  const std::string work = dir / "Attachments";
  testing::TempFolder outside;
  [[maybe_unused]] auto link = [](const std::string& target, const std::string& at) {
    std::filesystem::remove_all(as_path(at));
    std::filesystem::create_symlink(as_path(target), as_path(at));
  };
#ifndef _WIN32
  rlimit unlimited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  // Writes past the limit fail with EFBIG instead of raising SIGXFSZ.
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  const auto set_size_limit = [&](rlim_t bytes) {
    rlimit l = unlimited;
    if (bytes != RLIM_INFINITY) l.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &l);
  };
#endif
  struct Case {
    std::string what;
    std::function<void(sim::SimOutlook&)> arrange;
    bool fails = false;  // a file step that fails: never packed, never with a password
  };
  // The missing library comes first: once loaded, a library stays loaded in this process.
  std::vector<Case> cases{
      {"zip library missing", [&](auto&) { fs::delete_file(dir / library_file_name("zip32")); },
       true},
      {"working folder is a file",
       [&](auto&) {
         std::filesystem::remove(as_path(work));
         testing::write_file(work, "x");
       },
       true},
      {"readme cannot be written", [&](auto&) { fs::make_folder(work + kPathSep + "Readme.txt"); },
       true},
      {"archive cannot be written", [&](auto&) { fs::make_folder(dir / "Attachments.zip"); }, true},
      {"statistics cannot be written", [&](auto&) { fs::make_folder(dir / "parvex.log.tmp"); },
       true},
#ifndef _WIN32
      {"linked working folder", [&](auto&) { link(outside.path(), work); }},
      {"linked saved names and archive",
       [&](auto&) {
         link(outside / "a", work + kPathSep + "report.pdf");
         link(outside / "b", work + kPathSep + "empty.dat");
         link(outside / "c", dir / "Attachments.zip");
       }},
      {"linked readme", [&](auto&) { link(outside / "d", work + kPathSep + "Readme.txt"); }},
      {"linked statistics and its temporary file",
       [&](auto&) {
         link(outside / "precious.txt", dir / "parvex.log");
         link(outside / "e", dir / "parvex.log.tmp");
       }},
      // A file size limit stands in for a full disk: the saved copy of report.pdf cannot be
      // written whole. It is lifted as soon as the send returns.
      {"disk full", [&](auto&) { set_size_limit(4096); }, true},
#endif
  };
  std::vector<std::string> order;
  for (const auto& [name, bytes] : kFive) order.push_back(name);
  // The protected run comes first, so that the missing library is still missing.
  const auto run = [&](const Case& c) {
    for (const bool protect : {true, false}) {
      SCOPED_TRACE(c.what + (protect ? ", with a password" : ""));
      write_options({protect, 0});
      if (protect) services.input_box_answers = {"pw"};
      testing::write_file(outside / "precious.txt", "keep me");
      testing::Session s;
      const double normal_before = statistics().TotalNormalBytes;
      const auto mail = s.open_mail("faulty", kFive);
      services.message_boxes.clear();
      c.arrange(s.outlook);
      const bool left = s.outlook.send(mail);
      s.outlook.stop_failing();
#ifndef _WIN32
      set_size_limit(RLIM_INFINITY);
#endif
      EXPECT_EQ(fs::list_entries(outside.path()), std::vector<std::string>{"precious.txt"});
      EXPECT_EQ(testing::read_file(outside / "precious.txt"), "keep me");
      EXPECT_FALSE(left && protect && c.fails) << "left though a step failed";
      const auto* sent = expect_every_file(left, *mail, kFive, protect, s);
      if (sent && sent->attachments.size() != 1) {
        EXPECT_EQ(names_of(sent->attachments), order);
        EXPECT_EQ(summary(attachments_of(*sent)), summary(kFive));
        EXPECT_EQ(statistics().TotalNormalBytes, normal_before);
      }
      EXPECT_FALSE(sent && c.fails && sent->attachments.size() == 1) << "packed though it failed";
      if (!left && !c.fails) {
        // The files kept aside are named; with a password a message says the item did not leave.
        ASSERT_EQ(services.message_boxes.size(), protect && unsent().empty() ? 1u : 1u + protect);
        for (const auto& name : order) {
          const bool on_item = std::any_of(mail->attachments().begin(), mail->attachments().end(),
                                           [&](const auto& a) { return a->file_name() == name; });
          EXPECT_NE(on_item, services.message_boxes[0].text.find(name) != std::string::npos)
              << name;
        }
      }
      for (const char* name : {"Attachments", "Attachments.zip", "parvex.log", "parvex.log.tmp",
                               "Unsent attachments"}) {
        std::filesystem::remove_all(as_path(dir / name));
      }
      testing::copy_libraries(dir.path());
      write_options({false, 0});
      EXPECT_TRUE(!c.fails || ui::touch<ui::frm_about>().parvex_chk.value == 0) << "not cleared";
      if (ui::touch<ui::frm_about>().parvex_chk.value == 0) {
        const std::string error = error_line();
        EXPECT_TRUE(error.ends_with("   " + std::to_string(CodeModule::state().SystemError)))
            << error;
        ui::touch<ui::frm_about>().parvex_chk.value = 1;
      }
      if (c.fails && protect) continue;  // the unprotected run finds the library still missing
      const auto next = s.send("next", {{"only.txt", "mine"}});
      EXPECT_EQ(summary(carried(next)), summary({{"only.txt", "mine"}}));
      EXPECT_TRUE(work_is_clean());
    }
  };
  for (const auto& c : cases) run(c);
#ifndef _WIN32
  std::signal(SIGXFSZ, old_handler);
#endif
  // Each host member a send calls failing from its first call on, and each single call failing.
  std::set<std::string> members;
  size_t calls_of_a_send = 0;
  {
    testing::Session s;
    const auto mail = s.open_mail("count", kFive);
    const size_t mark = s.outlook.calls().size();
    s.outlook.send(mail);
    members.insert(s.outlook.calls().begin() + static_cast<std::ptrdiff_t>(mark),
                   s.outlook.calls().end());
    calls_of_a_send = s.outlook.calls().size() - mark;
  }
  ASSERT_TRUE(members.contains("Attachments.Add"));
  std::vector<Case> host;
  for (const auto& member : members) {
    for (const int times : {1, 2, 3, -1}) {
      host.push_back({member + " failing " + std::to_string(times),
                      [member, times](sim::SimOutlook& o) { o.fail(member, times); }});
    }
  }
  for (size_t k = 0; k < calls_of_a_send; ++k) {
    host.push_back({"call " + std::to_string(k),
                    [k](sim::SimOutlook& o) { o.fail_call_at(o.calls().size() + k); }});
  }
  for (const auto& c : host) run(c);
}

#ifndef _WIN32
// Two mail-client processes share one add-in folder and send at the same time, round after
// round: every message leaves packed, with exactly its own files.
TEST_F(SendTest, TwoProcessesSharingTheFolderSendOnlyTheirOwnFiles) {
  const std::string sim = testing::program_folder() + kPathSep + "parvex-sim";
  ASSERT_TRUE(fs::is_file(sim));
  testing::TempFolder in, out;
  constexpr int kRounds = 20;
  int checked = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string command;
    Files files[2];
    for (int p = 0; p < 2; ++p) {
      const std::string tag = std::to_string(round) + "-" + std::to_string(p);
      fs::make_folder(in / tag);
      std::string script = "explorer\nconnect\nmail m\n";
      for (const char* name : {"a.txt", "data.bin", "Notes.txt"}) {
        std::string bytes(30000 + 100 * p, static_cast<char>('a' + p));
        bytes += name + tag;
        testing::write_file(in / tag + kPathSep + name, bytes);
        files[p][name] = bytes;
        script += "attach " + in / tag + kPathSep + name + "\n";
      }
      // Every other round the second sends with a password, stored in the folder they share;
      // asked without one to give, each sends without.
      script += p == 1 && round % 2 == 1 ? "options password pw\n" : "answer unprotected\n";
      testing::write_file(in / tag + ".script", script + "send\nshutdown\n");
      command += "'" + sim + "' script --addin-folder '" + dir.path() + "' --outbox '" + out / tag +
                 "' '" + in / tag + ".script' > '" + in / tag + ".log' 2>&1 & ";
    }
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    for (int p = 0; p < 2; ++p) {
      const std::string tag = std::to_string(round) + "-" + std::to_string(p);
      SCOPED_TRACE("round " + tag + ", the program said:\n" +
                   testing::read_file(in / tag + ".log"));
      ASSERT_TRUE(fs::is_folder(out / tag));
      const auto messages = fs::list_entries(out / tag);
      ASSERT_EQ(messages.size(), 1u);
      const std::string message = out / tag + kPathSep + messages[0];
      Files sent = testing::files_in(message);
      // Each waits for the other: none has to fall back to sending its files unpacked.
      ASSERT_TRUE(sent.contains("DD.zip"));
      std::optional<CodeModule::HeldPassword> password;
      if (p == 1 && round % 2 == 1) {
        for (const auto& e : testing::listing(message + kPathSep + "DD.zip")) {
          EXPECT_EQ(e.encrypted, e.name != "Readme.txt") << e.name;
        }
        password.emplace("pw");
      }
      sent = unpack(sent["DD.zip"]);
      sent.erase("Readme.txt");
      EXPECT_EQ(summary(sent), summary(files[p]));
      ++checked;
    }
  }
  EXPECT_EQ(checked, 2 * kRounds);
}
#endif

}  // namespace
}  // namespace parvex
