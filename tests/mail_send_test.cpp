// The send path end to end: the simulated client sends a mail item through Connect, with our
// real zip and unzip libraries beside a temporary add-in folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "addin_fixture.h"
#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "compression/mail_send.h"
#include "compression/signature.h"
#include "seams/fs.h"
#include "support/options.h"
#include "support/statistics.h"
#include "support/work_lock.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"

namespace parvex {
namespace {

using testing::as_path;
using testing::Files;
using testing::kStamp;

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
  // What a message carries: its attachments, with "DD" unpacked in its place (less the readme).
  Files carried(const sim::SentMessage& m) {
    Files files;
    for (const auto& a : m.attachments) {
      if (!archive(a)) {
        files[a.file_name] = a.bytes;
        continue;
      }
      Files inside = unpack(a.bytes);
      inside.erase("Readme.txt");
      files.merge(inside);
    }
    return files;
  }
  static Files on_item(const sim::SimItem& mail) {
    Files files;
    for (const auto& a : mail.attachments()) files[a->file_name()] = a->bytes();
    return files;
  }
  // The files kept because they could not be put back on their item, in an unsent folder or
  // left in the working folder: keyed by folder and name.
  Files unsent() {
    Files kept;
    for (const auto& folder : fs::list_entries(dir.path())) {
      const bool ours = folder.starts_with("Unsent attachments") || folder == "Attachments";
      if (!ours || fs::is_link(dir / folder)) continue;
      for (const auto& [name, bytes] : testing::files_in(dir / folder))
        kept[folder + "/" + name] = bytes;
    }
    return kept;
  }
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
  // The add-in's archive: marked, or by its file when the mark could not be set.
  static bool archive(const sim::SentAttachment& a) {
    return a.marked || a.file_name == "Attachments.zip";
  }
  static bool packed(const sim::SentMessage& m) {
    return !m.attachments.empty() && archive(m.attachments.back());
  }
  bool work_is_clean() {
    // Every entry: the file list leaves out what Windows (and wine, for a leading dot) hides.
    return fs::list_entries(dir / "Attachments").empty() && !fs::is_file(dir / "Attachments.zip");
  }
};

const Files kThree{{"report.pdf", std::string(70000, 'r') + "end"},
                   {"empty.dat", ""},
                   {"caf\xC3\xA9 menu.txt", "soupe du jour\n"}};

// Names that collide or cannot be files get saved names of their own.
TEST(SavedName, TakesNoNameTwiceAndNoneTheFileSystemRefuses) {
  std::set<std::string> taken;
  for (const auto& [given, saved] : std::vector<std::pair<std::string, std::string>>{
           {"Notes.txt", "Notes.txt"},
           {"NOTES.txt", "NOTES (2).txt"},
           {"notes.txt", "notes (3).txt"},
           {"dir/sub\\x.txt", "x.txt"},
           {"a:b|c?.txt", "a_b_c_.txt"},
           {"lpt1", "_lpt1"},
           {"Aux.log", "_Aux.log"},
           {"CONsole.txt", "CONsole.txt"},
           {"name. . ", "name"},
           {"..", "attachment"},
           {"Readme", "Readme"},
           {"Notes (2).txt", "Notes (2) (2).txt"},
           {"notes.TXT", "notes (4).TXT"},
           {std::string(251, 'l') + ".txt", std::string(251, 'l') + ".txt"},
           {std::string(251, 'L') + ".txt", std::string(247, 'L') + " (2).txt"},
       }) {
    EXPECT_EQ(compression::saved_name(given, taken), saved) << given;
  }
}

TEST_F(SendTest, ItemsTheAddInMustNotPackLeaveUnchanged) {
  testing::Session s;
  // Leftovers of an earlier send go before anything else happens: a file, which may be the
  // only copy of an attachment, to the unsent folder.
  testing::write_file(dir / "Attachments" + kPathSep + "left over.txt", "old");
  testing::write_file(dir / "Attachments.zip", "old archive");
  clear_log();
  EXPECT_TRUE(s.send("no files", {}).attachments.empty());
  EXPECT_EQ(s.outlook.outbox().size(), 1u);  // it left
  const std::string kept = dir / "Unsent attachments" + kPathSep + "left over.txt";
  EXPECT_EQ(send_log(), (std::vector<std::string>{kStamp + " Kept..left over.txt in " + kept,
                                                  kStamp + " Deleting..Attachments.zip"}));
  EXPECT_EQ(testing::read_file(kept), "old");
  EXPECT_TRUE(work_is_clean());
  // A send that died before removing anything from its item left copies of files still on it:
  // the next start wipes them. One that died later may have left the only copies: they are kept,
  // marked when cut short, and the user is told once, when the host has started.
  const std::string work = dir / "Attachments" + kPathSep;
  const std::string unsent = dir / "Unsent attachments" + kPathSep;
  for (const bool removing : {false, true}) {
    testing::write_file(work + "copy.txt", "on its item");
    testing::write_file(work + "cut (2).txt", "cut");
    testing::write_file(work + "Readme.txt", "readme");
    testing::write_file(dir / "Attachments.zip", "archive");
    testing::write_file(
        dir / "Attachments.journal",
        removing ? "removing\n11\tcopy.txt\t\n9\tcut (2).txt\tcut.txt\n" : "saving\n");
    services.message_boxes.clear();
    for (int start = 0; start < 2; ++start) {
      testing::Session restarted;
      const size_t shown = services.message_boxes.size();
      restarted.connect.OnStartupComplete();
      EXPECT_EQ(services.message_boxes.size(), shown + (removing && start == 0));
    }
    EXPECT_TRUE(fs::list_entries(dir / "Attachments").empty());
    EXPECT_FALSE(fs::exists_no_follow(dir / "Attachments.journal"));
    EXPECT_FALSE(fs::exists_no_follow(dir / "Attachments.zip"));
    EXPECT_EQ(testing::files_in(dir / "Unsent attachments").size(), removing ? 3u : 1u);
    if (!removing) continue;
    EXPECT_EQ(testing::read_file(unsent + "copy.txt"), "on its item");
    EXPECT_EQ(testing::read_file(unsent + "cut (incomplete).txt"), "cut");
    ASSERT_EQ(services.message_boxes.size(), 1u);
    EXPECT_NE(services.message_boxes[0].text.find("\ncut (incomplete).txt\n    " + unsent),
              std::string::npos)
        << services.message_boxes[0].text;
  }
  const auto second = s.open_mail("second", kThree);
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
  // A lock file that cannot be opened says so, not that another program holds the folder.
  fs::delete_file(work_lock_path());
  fs::make_folder(work_lock_path());
  clear_log();
  s.outlook.send(second);
  EXPECT_NE(send_log().at(0).find("cannot be written"), std::string::npos) << send_log()[0];
  std::filesystem::remove(as_path(work_lock_path()));

  // The check box cleared: nothing logged, saved or changed.
  ui::touch<ui::frm_about>().parvex_chk.value = 0;
  clear_log();
  s.outlook.send(second);
  EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(kThree));
  EXPECT_TRUE(send_log().empty());
}

// While packing, a second send and a zip are refused and a disconnection waits for the send.
TEST_F(SendTest, WhatArrivesWhilePackingIsRefusedOrWaitsForTheSend) {
  testing::Session s;
  const auto first = s.open_mail("first", kThree);
  long refused = 0;
  std::shared_ptr<sim::SimItem> second;
  // At the first moment the send lets window events run, and not again.
  services.on_do_events = [&, done = false]() mutable {
    if (std::exchange(done, true)) return;
    second = s.open_mail("second", {{"b.txt", "bee"}});
    s.outlook.send(second);
    ui::touch<ui::frm_outlook>().cmd_ZIP.click();
    const auto lines = log();
    refused = std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("refused") != l.npos; });
    s.connect.OnBeginShutdown();
    s.connect.OnDisconnection(host::DisconnectMode::HostShutdown);
    EXPECT_TRUE(ui::exists<ui::frm_outlook>());
  };
  s.outlook.send(first);
  services.on_do_events = nullptr;
  EXPECT_EQ(refused, 2);
  // The second never leaves unpacked: it stays open, and the user is told to send it again.
  ASSERT_EQ(s.outlook.outbox().size(), 1u);
  EXPECT_FALSE(second->sent());
  EXPECT_EQ(services.message_boxes.size(), 1u);
  EXPECT_EQ(summary(carried(s.outlook.outbox()[0])), summary(kThree));
  EXPECT_FALSE(ui::exists<ui::frm_outlook>());
  EXPECT_FALSE(ui::exists<ui::frm_about>());
  EXPECT_EQ(s.outlook.counters().subscriptions, 0);
  EXPECT_EQ(s.outlook.counters().references, 0);
}

// Attachments whose saved names differ from their own ("notes.TXT" beside "Notes.txt").
const Files kFive{{"Notes.txt", "one"},
                  {"caf\xC3\xA9 menu.txt", "soupe du jour\n"},
                  {"empty.dat", ""},
                  {"notes.TXT", "two"},
                  {"report.pdf", std::string(70000, 'r') + "end"}};

// kFive in an HTML mail, with a picture the body shows second and an attached item sixth: the
// two stay where they are. Returns the names in their order.
std::vector<std::string> make_mixed(sim::SimItem& mail) {
  std::vector<std::string> order;
  for (const auto& [name, bytes] : kFive) {
    mail.attach_bytes(name, bytes);
    order.push_back(name);
    if (order.size() == 1) {
      sim::SimAttachment& logo = mail.attach_bytes("logo.png", "PNG");
      logo.set_property(host::kAttachContentId, "logo");
      mail.set_body(host::kFormatHtml, "<img src=\"cid:logo\">");
      order.push_back("logo.png");
    }
    if (order.size() == 5) {
      mail.attach_item("Agenda");
      order.push_back("Agenda.msg");
    }
  }
  return order;
}

// A send of over half a second shows progress; Cancel at any file, or an attachment added
// meanwhile, keeps the item as it was, counts nothing and logs one line. A copy changed under
// the send: the item keeps its own files (cancelled with a password).
TEST_F(SendTest, WhatHappensWhilePackingDecidesWhatLeaves) {
  // unpacked: as it is without a password, not at all with one.
  enum class Leaves { packed, unpacked, nothing };
  struct Case {
    const char* what;
    Files files;
    Leaves leaves;
    int64_t ms_a_step = 0;  // how far the clock moves each time window events run
    // Runs each time window events run, with the progress window when there is one.
    std::function<void(sim::SimItem&, ui::frm_progress*)> meanwhile = nullptr;
  };
  const auto cancel_at = [](const char* count) {
    return [count](sim::SimItem&, ui::frm_progress* w) {
      if (w && w->visible && w->lbl_count.caption == count) w->cmd_cancel.click();
    };
  };
  const std::vector<Case> cases{
      {"a short send", kThree, Leaves::packed},
      {"a long send", kThree, Leaves::packed, 300},
      {"Cancel at the first file", kThree, Leaves::nothing, 300, cancel_at("file 1 of 4")},
      {"Cancel at a middle file", kThree, Leaves::nothing, 300, cancel_at("file 3 of 4")},
      {"Cancel at the last file", kThree, Leaves::nothing, 300, cancel_at("file 4 of 4")},
      {"an attachment added", kThree, Leaves::nothing, 0,
       [](sim::SimItem& item, ui::frm_progress*) {
         if (item.attachments().size() == 3) item.attach_bytes("late.txt", "l");
       }},
      {"a copy changed", kThree, Leaves::unpacked, 0,
       [&](sim::SimItem&, ui::frm_progress*) {
         testing::write_file(dir / "Attachments" + kPathSep + "report.pdf",
                             std::string(70003, 'x'));
       }},
      {"the readme's name taken", {{"README.TXT", "mine"}, {"b.txt", "bee"}}, Leaves::packed},
      {"names that collide or cannot be files",
       {{"..\\..\\escape.txt", "three"},
        {"a:b|c?.txt", "four"},
        {"CON.txt", "five"},
        {"trailing. .", "six"},
        {"\xE6\x97\xA5\xE6\x9C\xAC.txt", "seven"},
        {"", "eight"},
        {".clang-format", "nine"}},
       Leaves::packed},
  };
  for (const auto& c : cases) {
    for (const bool protect : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (protect ? ", with a password" : ""));
      write_options({protect, 0});
      if (protect) services.input_box_answers = {"pw"};
      testing::Session s;
      const auto mail = s.open_mail("packed", c.files);
      const std::string stats = testing::read_file(dir / "parvex.log");
      const double normal_before = statistics().TotalNormalBytes;
      bool shown = false;
      services.on_do_events = [&] {
        services.ticks += c.ms_a_step;
        ui::frm_progress* window =
            ui::exists<ui::frm_progress>() ? &ui::touch<ui::frm_progress>() : nullptr;
        shown = shown || (window && window->visible);
        if (c.meanwhile) c.meanwhile(*mail, window);
      };
      clear_log();
      const bool left = s.outlook.send(mail);
      services.on_do_events = nullptr;
      EXPECT_EQ(shown, c.ms_a_step > 0);
      EXPECT_FALSE(ui::exists<ui::frm_progress>());
      EXPECT_TRUE(work_is_clean());
      EXPECT_EQ(left, c.leaves == Leaves::packed || (c.leaves == Leaves::unpacked && !protect));
      Files expected = c.files;
      if (mail->attachments().size() > c.files.size()) expected["late.txt"] = "l";
      if (!left) {
        EXPECT_EQ(summary(on_item(*mail)), summary(expected));
      } else if (c.leaves == Leaves::unpacked) {
        EXPECT_EQ(summary(attachments_of(s.outlook.outbox().back())), summary(expected));
      } else {
        std::optional<CodeModule::HeldPassword> password;
        if (protect) password.emplace("pw");
        ASSERT_EQ(s.outlook.outbox().back().attachments.size(), 1u);
        Files inside = unpack(s.outlook.outbox().back().attachments.at(0).bytes);
        double normal = 0;
        std::vector<std::string> names;
        for (const auto& [name, bytes] : inside) {
          for (const auto& other : names) EXPECT_FALSE(fs::same_name(name, other)) << name;
          names.push_back(name);
          normal += static_cast<double>(bytes.size());
        }
        EXPECT_EQ(statistics().TotalNormalBytes, normal_before + normal);
        EXPECT_EQ(inside.extract("Readme.txt").mapped(), fs::to_ansi(SignatureText()) + "\r\n");
        EXPECT_TRUE(contents(inside) == contents(c.files)) << summary(inside);
      }
      if (c.leaves != Leaves::nothing) continue;
      EXPECT_EQ(testing::read_file(dir / "parvex.log"), stats);
      EXPECT_EQ(ui::touch<ui::frm_about>().parvex_chk.value, 1);
      EXPECT_TRUE(services.message_boxes.empty());
      const auto lines = send_log();
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const auto& l) { return l.find("cancel") != l.npos; }),
                1);
      EXPECT_EQ(error_line(), "");
    }
  }
  EXPECT_FALSE(fs::is_file(dir.path() + kPathSep + ".." + kPathSep + "escape.txt"));
}

// Only by-value attachments neither hidden nor shown in the body are packed; the rest stay at
// their places, byte for byte, and the body never changes. "inline": a content id the body
// shows, flag 0x4; "cid": one it does not show. A row's "stays" is empty when packed.
TEST_F(SendTest, OnlyFilesTheRecipientSeesAsAttachedArePacked) {
  struct Attached {
    std::string kind, name, stays;
    // Kinds "ref" and "loc": a content id or location, and how the body refers to it.
    std::string id = {}, ref = {};
  };
  struct Row {
    const char* what;
    int32_t format;
    std::vector<Attached> attached;
    const char* failing = nullptr;  // a host call that always fails
    bool resize_pictures = false;   // the sender asked the host to shrink large pictures
  };
  const std::vector<Row> rows{
      {"a signature logo only", host::kFormatHtml, {{"inline", "logo.png", "inline picture"}}},
      {"a quoted reply",
       host::kFormatHtml,
       {{"inline", "image001.png", "inline picture"},
        {"file", "minutes.docx", ""},
        {"inline", "image002.png", "inline picture"},
        {"inline", "IMAGE003.PNG", "inline picture"}}},
      {"an object in rich text",
       host::kFormatRich,
       {{"file", "a.txt", ""}, {"object", "Chart", "object"}}},
      {"an item, a link and a hidden file",
       host::kFormatPlain,
       {{"item", "Re: plan", "embedded item"},
        {"file", "plan.xlsx", ""},
        {"link", "/srv/share", "link"},
        {"hidden", "smime.p7s", "hidden"}}},
      {"a content id the body does not show",
       host::kFormatHtml,
       {{"cid", "photo.jpg", ""}, {"file", "a.txt", ""}}},
      // An old host without the property accessor: no content id, so nothing is inline.
      {"property reads failing",
       host::kFormatHtml,
       {{"inline", "logo.png", ""}, {"hidden", "h.txt", ""}, {"file", "a.txt", ""}},
       "Attachment.PropertyAccessor"},
      // The body unreadable: anything with a content id might be shown there.
      {"the body unreadable",
       host::kFormatHtml,
       {{"inline", "logo.png", "inline picture"},
        {"cid", "photo.jpg", "inline picture"},
        {"file", "a.txt", ""}},
       "Item.HTMLBody"},
      {"types unreadable",
       host::kFormatHtml,
       {{"file", "a.txt", "type unknown"}},
       "Attachment.Type"},
      {"references in every written form",
       host::kFormatHtml,
       {{"ref", "q.png", "inline picture", "q@x",
         "<p style=\"background:url(&quot;cid:q@x&quot;)\">"},
        {"ref", "s.png", "inline picture", "s@x", "<p style='background:url(&#39;cid:s@x&#39;)'>"},
        {"ref", "set.png", "inline picture", "set@x", "<img srcset=\"cid:set@x, b.png 2x\">"},
        {"ref", "u.png", "inline picture", "l\xC3\xB6go@x", "<img src=\"cid:l%C3%B6go@x\">"},
        {"ref", "at.png", "inline picture", "logo@x", "<img src=\"cid:logo%40x\">"},
        {"ref", "amp.png", "inline picture", "a&b", "<img src=\"cid:a&amp;b\">"},
        {"ref", "br.png", "inline picture", "<br@x>", "<img src=\"cid:br@x\">"},
        {"ref", "no.png", "", "no@x", "<img src=\"cid:no@x2\">"},
        {"loc", "l.png", "inline picture", "http://x/l.png", "<img src=\"http://x/l.png\">"}}},
      {"pictures the host is asked to shrink",
       host::kFormatPlain,
       {{"file", "photo.JPG", "picture the host resizes"}, {"file", "a.txt", ""}},
       nullptr,
       true},
  };
  for (const char* personality : sim::kPersonalities)
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(personality) + ": " + row.what);
      testing::Session s;
      s.outlook.set_personality(sim::personality_named(personality));
      // Every type reads "object" there, and the attach method is the one other witness.
      const bool no_witness = s.outlook.personality() == sim::Personality::ole_until_saved &&
                              row.failing &&
                              std::string(row.failing) == "Attachment.PropertyAccessor";
      const auto mail = s.outlook.new_mail(row.what);
      mail->set_body(row.format, "<p>Hello</p>");
      if (row.resize_pictures) mail->set_named_property(host::kImageCompression, int64_t{1});
      Files packed;
      std::vector<std::pair<std::string, int32_t>> expected;  // name and type, in order
      for (const Attached& a : row.attached) {
        const std::string bytes = "bytes of " + a.name;
        if (a.kind == "item") {
          mail->attach_item(a.name);
        } else if (a.kind == "object") {
          mail->attach_object(a.name);
        } else if (a.kind == "link") {
          mail->attach_link(a.name);
        } else {
          sim::SimAttachment& added = mail->attach_bytes(a.name, bytes);
          if (a.kind == "hidden") added.set_property(host::kAttachmentHidden, int64_t{1});
          if (a.kind == "cid") added.set_property(host::kAttachContentId, a.name + "@01");
          if (a.kind == "ref" || a.kind == "loc") {
            added.set_property(
                a.kind == "ref" ? host::kAttachContentId : host::kAttachContentLocation, a.id);
            mail->set_body(row.format, mail->html_body() + a.ref);
          }
          if (a.kind == "inline") {
            // Referred to in another case than given: ids compare without case.
            added.set_property(host::kAttachContentId, a.name + "@01");
            added.set_property(host::kAttachFlags, int64_t{0x4});
            mail->set_body(row.format, mail->html_body() + "<img src=\"CID:" + a.name + "@01\">");
          }
        }
        const auto& last = *mail->attachments().back();
        if (a.stays.empty() && !no_witness) {
          packed[a.name] = bytes;
        } else {
          expected.emplace_back(last.file_name(), last.type());
        }
      }
      // Its label shows only in rich text: elsewhere the recipient sees the archive's file name.
      if (!packed.empty())
        expected.emplace_back(row.format == host::kFormatRich ? "DD" : "Attachments.zip",
                              host::kByValue);
      const std::string body = mail->html_body();
      const Files before = on_item(*mail);
      s.outlook.open_inspector(mail, row.what);
      if (row.failing) s.outlook.fail(row.failing);
      const double normal_before = statistics().TotalNormalBytes;
      ASSERT_TRUE(s.outlook.send(mail));
      s.outlook.stop_failing();
      const auto& sent = s.outlook.outbox().back();
      std::vector<std::pair<std::string, int32_t>> left;
      for (const auto& a : sent.attachments) left.emplace_back(a.display_name, a.type);
      EXPECT_EQ(left, expected);
      EXPECT_EQ(sent.html_body, body);
      // What is not on the item is inside "DD", byte for byte.
      EXPECT_EQ(summary(carried(sent)), summary(before));
      EXPECT_TRUE(!packed.empty() || statistics().TotalNormalBytes == normal_before);
      EXPECT_EQ(ui::touch<ui::frm_about>().parvex_chk.value, 1);
    }
  // The archive cannot be added: every file goes back, at its place where the host takes one
  // (rich text, or a client that takes positions as places); else last, in its order.
  for (const char* personality : sim::kPersonalities) {
    for (const int32_t format : {host::kFormatHtml, host::kFormatRich}) {
      SCOPED_TRACE(std::string(personality) + (format == host::kFormatRich ? ", rich" : ", HTML"));
      testing::Session s;
      s.outlook.set_personality(sim::personality_named(personality));
      const auto mail = s.outlook.new_mail("back");
      mail->set_body(format, "<p>Hello</p>");
      mail->attach_bytes("a.txt", "a");
      mail->attach_item("Agenda");
      mail->attach_bytes("b.txt", "b");
      s.outlook.open_inspector(mail, "back");
      s.outlook.fail("Attachments.Add", 1);
      ASSERT_TRUE(s.outlook.send(mail));
      std::vector<std::string> names;
      for (const auto& a : s.outlook.outbox().back().attachments) names.push_back(a.file_name);
      const bool last =
          s.outlook.personality() == sim::Personality::rtf_positions && format == host::kFormatHtml;
      const std::vector<std::string> in_order{"a.txt", "Agenda.msg", "b.txt"};
      const std::vector<std::string> files_last{"Agenda.msg", "a.txt", "b.txt"};
      EXPECT_EQ(names, last ? files_last : in_order);
      ui::touch<ui::frm_about>().parvex_chk.value = 1;
    }
  }
}

// A protected archive is checked by decrypting it (no CRC is recorded to compare).
TEST_F(SendTest, TheCheckDecryptsAProtectedArchiveAndRefusesAnUnprotectedOne) {
  const std::string work = compression::working_folder() + kPathSep;
  fs::ensure_folder(compression::working_folder());
  testing::write_file(work + "a.txt", std::string(3000, 'a'));
  testing::write_file(work + compression::kReadme, "read me");
  const auto files = std::vector{compression::fingerprint(work + "a.txt")};
  const auto readme = compression::fingerprint(work + compression::kReadme);
  CodeModule::HeldPassword password("pw");
  const auto pack = [&](bool encrypt, long flip) {
    std::filesystem::remove(as_path(compression::archive_file()));
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
  const auto check = [&](bool protect) {
    compression::check_archive(
        {compression::working_folder(), {}, compression::archive_file()}, files, readme,
        protect ? compression::ReadBack::protected_entries : compression::ReadBack::listing);
  };
  pack(true, 0);
  EXPECT_NO_THROW(check(true));
  pack(false, 0);
  EXPECT_NO_THROW(check(false));
  EXPECT_ANY_THROW(check(true)) << "a plain copy in a protected archive";
  pack(true, 5 + 11 + 18);  // name, AES block, salt and verifier: the data's first byte
  EXPECT_ANY_THROW(check(true)) << "altered bytes under the encryption";
}

// Whatever fails (a host call, a file step, a planted link) the item leaves with every file,
// as itself or inside "DD", or stays with each missing copy kept and named; protected mail
// leaves protected or not at all; nothing outside the add-in folder is touched.
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
    bool kept = false;   // the planted file is kept in the unsent folder
  };
  // The missing library comes first: once loaded, a library stays loaded in this process.
  std::vector<Case> cases{
      {"zip library missing", [&](auto&) { fs::delete_file(dir / library_file_name("zip32")); },
       true},
      // Planted objects under our names are moved aside or, a link or pipe, removed itself.
      {"working folder is a file",
       [&](auto&) {
         std::filesystem::remove(as_path(work));
         testing::write_file(work, "x");
       },
       false, true},
      {"a folder named Readme.txt",
       [&](auto&) { fs::make_folder(work + kPathSep + "Readme.txt"); }},
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
      {"readme linked to a folder",
       [&](auto&) { link(outside.path(), work + kPathSep + "Readme.txt"); }},
      {"a pipe named Readme.txt",
       [&](auto&) { mkfifo((work + kPathSep + "Readme.txt").c_str(), 0600); }},
      {"working folder a dangling link",
       [&](auto&) {
         std::filesystem::remove(as_path(work));
         link(outside / "nowhere", work);
       }},
      {"linked statistics and its temporary file",
       [&](auto&) {
         link(outside / "precious.txt", dir / "parvex.log");
         link(outside / "e", dir / "parvex.log.tmp");
       }},
      {"a pipe for the policy file",
       [&](auto&) {
         services.policies = dir / "policies.ini";
         mkfifo(services.policies.c_str(), 0600);
       }},
      // A file size limit stands in for a full disk: the saved copy of report.pdf cannot be
      // written whole. It is lifted as soon as the send returns.
      {"disk full", [&](auto&) { set_size_limit(4096); }, true},
#endif
  };
  Files mixed = kFive;
  mixed["logo.png"] = "PNG";
  mixed["Agenda.msg"] = "Subject: Agenda\r\n";
  std::vector<std::string> order;
  // The protected run comes first, so that the missing library is still missing.
  const auto run = [&](const Case& c) {
    for (const bool protect : {true, false}) {
      SCOPED_TRACE(c.what + (protect ? ", with a password" : ""));
      write_options({protect, 0});
      if (protect) services.input_box_answers = {"pw"};
      testing::write_file(outside / "precious.txt", "keep me");
      testing::Session s;
      const StatisticsValues before = statistics();
      const auto mail = s.outlook.new_mail("faulty");
      order = make_mixed(*mail);
      s.outlook.open_inspector(mail, "faulty");
      services.message_boxes.clear();
      c.arrange(s.outlook);
      const bool left = s.outlook.send(mail);
      s.outlook.stop_failing();
#ifndef _WIN32
      set_size_limit(RLIM_INFINITY);
#endif
      // However the send ended, the message's window takes input again.
      for (const Failure& f : s.outlook.event_failures())
        EXPECT_EQ(f.description().find("left disabled"), std::string::npos);
      EXPECT_EQ(fs::list_entries(outside.path()), std::vector<std::string>{"precious.txt"});
      EXPECT_EQ(testing::read_file(outside / "precious.txt"), "keep me");
      EXPECT_FALSE(left && protect && c.fails) << "left though a step failed";
      // It left with each file, as itself or inside "DD" (each entry but the readme encrypted
      // when a password was given), or it stayed with each on it or kept aside.
      const sim::SentMessage* sent = left ? &s.outlook.outbox().back() : nullptr;
      std::optional<CodeModule::HeldPassword> password;
      EXPECT_FALSE(sent && protect && !packed(*sent)) << "left unprotected";
      if (sent && protect && packed(*sent)) {
        for (const auto& e : testing::listing(sent->attachments.back().bytes.path()))
          EXPECT_TRUE(e.encrypted || e.name == "Readme.txt") << e.name;
        password.emplace("pw");
      }
      Files kept = sent ? carried(*sent) : unsent();
      if (!sent) kept.merge(on_item(*mail));
      EXPECT_TRUE(contents(kept) == contents(mixed)) << summary(kept);
      // Nothing of the send stays behind but a copy that is now the only one.
      EXPECT_FALSE(fs::is_file(dir / "Attachments.zip") && !fs::is_link(dir / "Attachments.zip"));
      EXPECT_TRUE(!left || unsent().size() == c.kept) << summary(unsent());
      if (sent && !packed(*sent)) {
        std::vector<std::string> names;  // in the order the item holds them
        for (const auto& a : sent->attachments) names.push_back(a.file_name);
        EXPECT_EQ(names, order);
        EXPECT_EQ(summary(attachments_of(*sent)), summary(mixed));
      }
      // Only an archive that left counts: a failed or cancelled send adds nothing to either.
      if (!sent || !packed(*sent)) {
        EXPECT_EQ(statistics().TotalNormalBytes, before.TotalNormalBytes);
        EXPECT_EQ(statistics().TotalZipBytes, before.TotalZipBytes);
      }
      EXPECT_FALSE(sent && c.fails && packed(*sent)) << "packed though it failed";
      if (!left && !c.fails) {
        // The files kept aside are named; with a password a message says the item did not leave.
        ASSERT_EQ(services.message_boxes.size(), protect && unsent().empty() ? 1u : 1u + protect);
        for (const auto& name : order) {
          EXPECT_NE(on_item(*mail).contains(name),
                    services.message_boxes[0].text.find(name) != std::string::npos)
              << name;
        }
      }
      for (const auto& name : fs::list_entries(dir.path())) {
        if (name.starts_with("Attachments") || name.starts_with("parvex.log") ||
            name.starts_with("Unsent attachments"))
          std::filesystem::remove_all(as_path(dir / name));
      }
      testing::copy_libraries(dir.path());
      write_options({false, 0});
      // A failure switches packing off for unprotected mail only.
      EXPECT_TRUE(!c.fails || protect || ui::touch<ui::frm_about>().parvex_chk.value == 0)
          << "not cleared";
      EXPECT_TRUE(!protect || ui::touch<ui::frm_about>().parvex_chk.value == 1) << "cleared";
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
    const auto mail = s.outlook.new_mail("count");
    make_mixed(*mail);
    s.outlook.open_inspector(mail, "count");
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

// A copy the put-back could not return, with no usual place free for it, is kept somewhere;
// later sends, even one that attaches it again from there, never delete it.
TEST_F(SendTest, ACopyNoPutBackReturnedOutlivesTheSendsAfter) {
  const auto folder = [&](int k) {
    return dir / "Unsent attachments" + (k == 1 ? "" : " (" + std::to_string(k) + ")");
  };
  // Here its " (2)" form is too long for a name; Windows paths run out first, so a short one.
  const std::string long_name = std::string(kPathSep == '/' ? 248 : 8, 'n') + ".txt";
  const Files files{{long_name, "mine"}, {"b.txt", "bee"}};
  for (const int planted_folders : {0, 1, 9}) {
    SCOPED_TRACE(planted_folders);
    for (int k = 1; k <= 9; ++k) std::filesystem::remove_all(as_path(folder(k)));
    for (int k = 1; k <= planted_folders; ++k) testing::write_file(folder(k), "x");
    if (planted_folders == 0) {
      fs::make_folder(folder(1));
      testing::write_file(folder(1) + kPathSep + long_name, "older");
    }
    const Files planted = unsent();
    const auto kept = [&] {
      Files now = unsent();
      for (const auto& [where, bytes] : planted) now.erase(where);
      return now;
    };
    testing::Session s;
    const auto mail = s.open_mail("kept", files);
    s.outlook.fail("Attachments.Add", -1);
    EXPECT_FALSE(s.outlook.send(mail));
    s.outlook.stop_failing();
    ui::touch<ui::frm_about>().parvex_chk.value = 1;
    ASSERT_TRUE(contents(kept()) == contents(files)) << summary(kept());
    const std::string again = dir / kept().begin()->first;
    s.send("next", {{"c.txt", "sea"}});
    const auto copy = s.open_mail("again", {});
    copy->attach_file(again);
    s.outlook.send(copy);
    EXPECT_TRUE(fs::is_file(again));
    EXPECT_TRUE(contents(kept()) == contents(files)) << summary(kept());
  }
}

#ifndef _WIN32
// Two mail-client processes share one add-in folder and send at the same time, round after
// round: every message leaves packed, with exactly its own files.
TEST_F(SendTest, TwoProcessesSharingTheFolderSendOnlyTheirOwnFiles) {
  const std::string sim = testing::program_folder() + kPathSep + "parvex-sim";
  ASSERT_TRUE(fs::is_file(sim));
  testing::TempFolder in, out;
  for (int round = 0; round < 50; ++round) {
    std::string command;
    Files files[2];
    for (int p = 0; p < 2; ++p) {
      const std::string tag = std::to_string(round) + "-" + std::to_string(p);
      fs::make_folder(in / tag);
      std::string script = "explorer\nconnect\nmail m\n";
      // The picture, shown by the body, stays beside "DD".
      for (const std::string name : {"a.txt", "data.bin", "Notes.txt", "logo.png"}) {
        const std::string at = in / tag + kPathSep + name;
        files[p][name] = std::string(30000 + 100 * p, static_cast<char>('a' + p)) + name + tag;
        testing::write_file(at, files[p][name]);
        script += "attach " + at + (name == "logo.png" ? " inline picture1\n" : "\n");
      }
      // Every other round both store options in the folder they share while the other sends,
      // and send with a password; asked without one to give, each sends without.
      script += round % 2 == 0 ? "answer unprotected\n"
                : p == 1       ? "options min-saving 0\noptions password pw\n"
                               : "options password pw\n";
      testing::write_file(in / tag + ".script", script + "send\nshutdown\n");
      command += "'" + sim + "' script --addin-folder '" + dir.path() + "' --outbox '" + out / tag +
                 "' '" + in / tag + ".script' > '" + in / tag + ".log' 2>&1 & ";
    }
    ASSERT_EQ(std::system((command + "wait").c_str()), 0);
    for (int p = 0; p < 2; ++p) {
      const std::string tag = std::to_string(round) + "-" + std::to_string(p);
      SCOPED_TRACE("round " + tag + ", the program said:\n" +
                   testing::read_file(in / tag + ".log"));
      const auto messages = fs::list_entries(out / tag);
      ASSERT_EQ(messages.size(), 1u);
      const std::string message = out / tag + kPathSep + messages[0];
      Files sent = testing::files_in(message);
      // Each waits for the other: none has to fall back to sending its files unpacked.
      ASSERT_TRUE(sent.contains("Attachments.zip"));
      EXPECT_EQ(sent["logo.png"], files[p].extract("logo.png").mapped());
      EXPECT_NE(sent["body.html"].find("cid:picture1"), std::string::npos);
      std::optional<CodeModule::HeldPassword> password;
      if (round % 2 == 1) {
        for (const auto& e : testing::listing(message + kPathSep + "Attachments.zip"))
          EXPECT_EQ(e.encrypted, e.name != "Readme.txt") << e.name;
        password.emplace("pw");
      }
      sent = unpack(sent["Attachments.zip"]);
      sent.erase("Readme.txt");
      EXPECT_EQ(summary(sent), summary(files[p]));
    }
  }
}

// A process killed mid-send: the next start keeps only copies the item may have lost.
TEST_F(SendTest, AProcessKilledMidSendLeavesCopiesOnlyWhereTheyMayBeTheLastOnes) {
  const std::string sim = "'" + testing::program_folder() + kPathSep + "parvex-sim' script";
  const Files files{{"a.txt", std::string(9000, 'a')}, {"b.txt", "bee"}, {"c.txt", "sea"}};
  for (const auto& [name, bytes] : files) testing::write_file(dir / name, bytes);
  const struct {
    const char* kill;
    bool kept;
  } rows[] = {
      {"Attachment.SaveAsFile 2", false}, {"Attachment.Delete 2", true}, {"Attachments.Add", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kill);
    testing::TempFolder folder;
    const std::string start = "explorer\nconnect\nstartup-complete\noptions password pw\n";
    testing::write_file(folder / "1", start + "mail m\nattach " + (dir / "a.txt") + "\nattach " +
                                          (dir / "b.txt") + "\nkill-at " + row.kill + "\nsend\n");
    testing::write_file(folder / "2",
                        start + "mail next\nattach " + (dir / "c.txt") + "\nsend\nshutdown\n");
    const auto run = [&](const char* script) {
      return std::system((sim + " --addin-folder '" + folder.path() + "' '" + folder / script +
                          "' > '" + folder / "said" + "' 2>&1")
                             .c_str());
    };
    const int killed = run("1");
    EXPECT_TRUE((WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) ||
                WEXITSTATUS(killed) == 128 + SIGKILL)
        << testing::read_file(folder / "said");
    ASSERT_EQ(run("2"), 0) << testing::read_file(folder / "said");
    const std::string said = testing::read_file(folder / "said");
    EXPECT_EQ(said.find("Outlook stopped in the middle of a send") != std::string::npos, row.kept)
        << said;
    Files expected = files;
    expected.erase("c.txt");
    EXPECT_TRUE(testing::files_in(folder / "Unsent attachments") ==
                (row.kept ? expected : Files{}));
    EXPECT_TRUE(fs::list_entries(folder / "Attachments").empty());
    EXPECT_FALSE(fs::exists_no_follow(folder / "Attachments.journal"));
    const auto sent = fs::list_entries(folder / "Outbox");
    ASSERT_EQ(sent.size(), 1u);
    std::set<std::string> names;
    for (const auto& e :
         testing::listing(folder / "Outbox" + kPathSep + sent[0] + kPathSep + "Attachments.zip"))
      names.insert(e.name);
    EXPECT_EQ(names, (std::set<std::string>{"Readme.txt", "c.txt"}));
  }
}
#endif

}  // namespace
}  // namespace parvex
