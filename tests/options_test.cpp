// The user's options end to end: the stored settings, a password-protected send that 7-Zip
// opens only with the password, and a minimum saving that keeps the originals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "addin_fixture.h"
#include "archive/code_module.h"
#include "compression/signature.h"
#include "seams/fs.h"
#include "sim/sim_session.h"
#include "support/options.h"
#include "support/settings_files.h"
#include "support/statistics.h"
#include "ui/frm_about.h"
#include "ui/frm_options.h"

namespace parvex {
namespace {

const std::string kText(40000, 'a');  // bytes deflate shrinks a lot

class OptionsTest : public testing::AddinTest {
 protected:
  OptionsTest() { testing::copy_libraries(dir.path()); }
  // Names, sizes, CRCs and whether encrypted, as our unzip library lists the archive.
  static std::string listing(const std::string& archive) {
    std::string text;
    for (const auto& e : testing::listing(archive)) {
      text += e.name + ":" + std::to_string(e.size) + ":" + std::to_string(e.packed_size) + ":" +
              std::to_string(e.crc) + (e.encrypted ? ":E " : " ");
    }
    return text;
  }

  testing::Session client;
};

TEST_F(OptionsTest, StoredSettingsReadBackOrGiveTheDefaults) {
  const struct {
    const char* file;  // nullptr: no settings file
    Options expected;
    bool damaged;
  } rows[] = {
      {nullptr, {}, false},
      {"AskPassword=1\r\nMinSaving=5\r\n", {true, 5}, false},
      {"MinSaving=100\r\n", {}, true},
      {"AskPassword=yes\r\n", {true, 0}, true},
      {"a line of no setting\r\n", {true, 0}, true},
      {"MinSaving=-1\r\n", {}, true},
      // Each value on its own: a damaged one takes its safe value, the other stands.
      {"AskPassword=0\r\nMinSaving=abc\r\n", {false, 0}, true},
      {"MinSaving=7\r\nAskPassword=true\r\n", {true, 7}, true},
      {"MinSaving=7\r\nAskPassword=1\x01\r\n", {true, 7}, true},
      {"", {true, 0}, true},  // a folder where the file should be
      {"AskPassword=0\r\nMinSaving=\x7f\x01\r\n", {false, 0}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file ? row.file : "(none)");
    const std::string path = dir / kSettingsFile;
    std::filesystem::remove_all(testing::as_path(path));
    if (row.file && *row.file) testing::write_file(path, row.file);
    if (row.file && !*row.file) fs::make_folder(path);
    std::string problem;
    EXPECT_EQ(read_options(&problem), row.expected);
    EXPECT_EQ(!problem.empty(), row.damaged) << problem;
  }
  // Saving replaces a damaged file with what was saved.
  write_options({true, 42});
  EXPECT_EQ(read_options(), (Options{true, 42}));
  EXPECT_THROW(write_options({false, 100}), Failure);
}

// The window and parvex-sim's script lines store the same options. A fixed setting shows
// disabled and says who set it; what the user stored stays under it.
TEST_F(OptionsTest, WindowAndScriptLinesStoreTheOptionsThatAreNotFixed) {
  write_options({true, 12});
  ui::touch<ui::frm_about>().cmd_options.click();
  auto& window = ui::touch<ui::frm_options>();
  EXPECT_TRUE(window.visible);
  EXPECT_EQ(window.chk_password.value, 1);
  EXPECT_EQ(window.txt_min_saving.text, "12");
  window.chk_password.value = 0;
  window.txt_min_saving.text = "1 0";
  window.cmd_ok.click();  // refused: the window stays and nothing is stored
  ASSERT_EQ(services.message_boxes.size(), 1u);
  EXPECT_EQ(read_options(), (Options{true, 12}));
  window.txt_min_saving.text = "30";
  window.cmd_ok.click();
  EXPECT_FALSE(ui::exists<ui::frm_options>());
  EXPECT_EQ(read_options(), (Options{false, 30}));

  std::ostringstream out;
  sim::SimSession session(out, dir / "Outbox");
  EXPECT_TRUE(session.run("options password two words"));
  EXPECT_TRUE(session.run("options min-saving 7"));
  EXPECT_FALSE(session.run("options min-saving 100"));
  EXPECT_EQ(read_options(), (Options{true, 7}));
  EXPECT_EQ(sim::typed_password(), "two words");
  EXPECT_TRUE(session.run("options password"));
  EXPECT_EQ(read_options(), (Options{false, 7}));

  services.policies = dir / "policies.ini";
  testing::write_file(services.policies, "Compression=0\r\nAskPassword=1\r\nMinSaving=50\r\n");
  ui::close<ui::frm_about>();  // loaded at the connection, before the policies
  const auto& about = ui::touch<ui::frm_about>();
  EXPECT_EQ(about.parvex_chk.value, 0);
  EXPECT_FALSE(about.parvex_chk.enabled);
  EXPECT_TRUE(about.lbl_policy.visible);
  EXPECT_FALSE(session.run("check on"));
  EXPECT_EQ(about.parvex_chk.value, 0);

  auto& fixed = ui::touch<ui::frm_options>();
  EXPECT_EQ(fixed.chk_password.value, 1);
  EXPECT_EQ(fixed.txt_min_saving.text, "50");
  EXPECT_FALSE(fixed.chk_password.enabled || fixed.txt_min_saving.enabled);
  EXPECT_TRUE(fixed.lbl_policy.visible);
  fixed.cmd_ok.click();
  EXPECT_EQ(read_options(), (Options{false, 7}));

  // Policies gone: the user's own again, at the next load.
  testing::write_file(services.policies, "");
  ui::close<ui::frm_about>();
  EXPECT_TRUE(ui::touch<ui::frm_about>().parvex_chk.enabled);
  EXPECT_FALSE(ui::touch<ui::frm_about>().lbl_policy.visible);
  auto& mine = ui::touch<ui::frm_options>();
  EXPECT_TRUE(mine.chk_password.enabled && mine.txt_min_saving.enabled);
  EXPECT_EQ(mine.txt_min_saving.text, "7");
}

// A password (UTF-8 as typed, blanks kept) protects the archive for 7-Zip; only "Send without
// password" sends it plain; anything else cancels the send.
TEST_F(OptionsTest, ProtectedSendOpensOnlyWithThePassword) {
  using Choice = PasswordAnswer::Choice;
  std::string euro99;  // 33 characters of three bytes each
  for (int i = 0; i < 33; ++i) euro99 += "\xE2\x82\xAC";
  const struct {
    PasswordAnswer answer;
    const char* leaves;  // "protected", "plain" or "" (cancelled)
    bool told;           // a message box says why
  } rows[] = {{{Choice::password, " caf\xC3\xA9 s3cret "}, "protected", false},
              {{Choice::password, euro99}, "protected", false},
              {{Choice::unprotected, ""}, "plain", false},
              {{Choice::cancel, ""}, "", false},
              {{Choice::password, "  \t "}, "", true},
              {{Choice::password, std::string(100, 'x')}, "", true}};
  write_options({true, 0});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer.password);
    services.password_answers = {row.answer};
    services.message_boxes.clear();
    const size_t before = client.outlook.outbox().size();
    const sim::SentMessage sent = client.send("Quarterly", {{"file0.bin", kText}});
    EXPECT_EQ(services.input_box_prompts.back(), "Password for the attachments of Quarterly");
    EXPECT_TRUE(CodeModule::state().Password.empty());  // not kept after the send
    EXPECT_EQ(services.message_boxes.size(), row.told ? 1u : 0u);
    if (!*row.leaves) {
      EXPECT_EQ(client.outlook.outbox().size(), before) << "left though cancelled";
      continue;
    }
    ASSERT_EQ(sent.attachments.size(), 1u);
    const std::string archive = sent.attachments[0].bytes.path();
    EXPECT_NE(listing(archive).find("file0.bin:40000:"), std::string::npos);
    EXPECT_EQ(listing(archive).find(":E") != std::string::npos,
              std::string(row.leaves) == "protected");
    for (const auto& l : log()) EXPECT_EQ(l.find("s3cret"), std::string::npos) << l;
#ifndef _WIN32  // 7-Zip runs on the build machine, not under wine
    if (row.answer.choice != Choice::password || std::system("7z >/dev/null 2>&1") != 0) continue;
    const std::string out = dir / "out";
    const auto seven = [&](const std::string& password, const std::string& entry) {
      return std::system(("LC_ALL=C.UTF-8 7z x -y '-p" + password + "' -o'" + out + "' '" +
                          archive + "' " + entry + " >/dev/null 2>&1")
                             .c_str());
    };
    EXPECT_NE(seven("wrong", ""), 0);
    EXPECT_EQ(seven("wrong", "Readme.txt"), 0);  // the readme stays readable
    EXPECT_EQ(seven(row.answer.password, ""), 0);
    EXPECT_EQ(testing::read_file(out + "/file0.bin"), kText);
#endif
  }
}

// Protection asked for, by the user or a policy, then a fault: each message leaves with every
// file encrypted inside "DD", or does not leave and keeps its files (a message box says why).
TEST_F(OptionsTest, ProtectedMailNeverLeavesInTheClear) {
  services.policies = dir / "policies.ini";
  const struct {
    const char* what;
    const char* settings;  // the options file; "" for a folder in its place
    const char* policies;
    const char* failing;  // a host call failing once, at the first send
    const char* body;     // an HTML body; the attachment has a content id it does not show
    bool first_leaves;    // the first of two sends leaves (protected)
    bool shrink = false;  // a picture the sender asked the host to shrink
  } rows[] = {
      {"a failed send, then another", "AskPassword=1", "", "Attachment.SaveAsFile", nullptr, false},
      {"AskPassword of another shape", "AskPassword=true\r\nMinSaving=5", "", nullptr, nullptr,
       true},
      {"MinSaving of another shape", "AskPassword=1\r\nMinSaving=abc", "", nullptr, nullptr, true},
      {"a line of no setting", "AskPassword=1\r\ngarbage", "", nullptr, nullptr, true},
      {"a folder for the options file", "", "", nullptr, nullptr, true},
      {"a damaged policy line", "AskPassword=0", "ReadmeText=a\rb\r\nAskPassword=1", nullptr,
       nullptr, true},
      {"the body unreadable", "AskPassword=1", "", "Item.HTMLBody", "<p>x</p>", false},
      {"only a flag says shown", "AskPassword=1", "", nullptr, "<p>x</p>", false},
      {"a picture the host shrinks", "AskPassword=1", "", nullptr, nullptr, true, true},
      {"property reads failing", "AskPassword=1", "", "Attachment.PropertyAccessor", "<p>x</p>",
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(testing::as_path(dir / kSettingsFile));
    if (*row.settings) testing::write_file(dir / kSettingsFile, row.settings);
    if (!*row.settings) fs::make_folder(dir / kSettingsFile);
    testing::write_file(services.policies, row.policies);
    services.input_box_answers = {"pw", "pw"};
    services.message_boxes.clear();
    for (int k = 0; k < 2; ++k) {
      const size_t before = client.outlook.outbox().size();
      auto mail = client.open_mail("Quarterly", {{row.shrink ? "a.jpg" : "a.txt", kText}});
      if (row.shrink) mail->set_named_property(host::kImageCompression, int64_t{1});
      if (row.body) {
        mail->set_body(host::kFormatHtml, row.body);
        auto& a = *mail->attachments().back();
        a.set_property(host::kAttachContentId, "a@01");
        a.set_property(host::kAttachFlags, int64_t{0x4});
      }
      if (row.failing && k == 0) client.outlook.fail(row.failing, row.body ? -1 : 1);
      client.outlook.send(mail);
      client.outlook.stop_failing();
      const bool left = client.outlook.outbox().size() > before;
      for (const auto& a :
           left ? client.outlook.outbox().back().attachments : std::vector<sim::SentAttachment>{}) {
        ASSERT_TRUE(a.marked) << "left in the clear: " << a.file_name;
        for (const auto& e : testing::listing(a.bytes.path()))
          EXPECT_TRUE(e.encrypted || e.name == "Readme.txt") << e.name;
      }
      // The first send as the row says; the second, with the fault gone, leaves protected
      // (packing was not switched off), but where only the flag says the body shows the file.
      EXPECT_EQ(left, k == 0 ? row.first_leaves : !row.body);
      EXPECT_TRUE(left || (mail->attachments().size() == 1u && !services.message_boxes.empty()));
    }
  }
  std::filesystem::remove_all(testing::as_path(dir / kSettingsFile));
}

// Policies over the user's options and check box. A send the minimum saving stops leaves its
// files as they were and says why; a protected one leaves protected, whatever it saves.
TEST_F(OptionsTest, PoliciesAndTheMinimumSavingDecideEachSend) {
  services.policies = dir / "policies.ini";
  const size_t signature = fs::to_ansi(SignatureText()).size() + 2;
  // Out of range or of the wrong kind: left out, the user's choice stands.
  const std::string wrong =
      "Compression=2\r\nAskPassword=yes\r\nMinSaving=100\r\nReadmeText=" + std::string(513, 'x') +
      "\r\n";
  const struct {
    std::string policies;
    Options user;
    int16_t check;   // the user's check box
    bool text;       // bytes deflate shrinks, else bytes it cannot
    bool packed;     // "DD" left
    bool asked;      // the password was asked for
    size_t readme;   // bytes of the extra readme line, with its line end
    size_t ignored;  // log lines for values left out
  } rows[] = {
      {"", {true, 5}, 1, false, true, true, 0, 0},
      {"", {false, 5}, 1, false, false, false, 0, 0},
      {"", {false, 5}, 1, true, true, false, 0, 0},
      {"Compression=0\r\n", {true, 0}, 1, false, false, false, 0, 0},
      {"Compression=1\r\n", {}, 0, false, true, false, 0, 0},
      {"AskPassword=1\r\n", {}, 1, false, true, true, 0, 0},
      {"AskPassword=0\r\n", {true, 0}, 1, false, true, false, 0, 0},
      {"MinSaving=99\r\n", {}, 1, false, false, false, 0, 0},
      {"MinSaving=0\r\n", {false, 99}, 1, false, true, false, 0, 0},
      {"ReadmeText=Questions: it@example.org\r\n", {}, 1, false, true, false, 27, 0},
      {wrong, {false, 99}, 1, false, false, false, 0, 4},
      {"not a policy line\r\n", {false, 99}, 1, false, false, false, 0, 4},
      // A damaged line costs its own value only.
      {"ReadmeText=a\rb\r\nAskPassword=1\r\n", {false, 99}, 1, false, true, true, 0, 1},
  };
  const std::string incompressible = testing::random_bytes(50000);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.policies.substr(0, 60) + " min " + std::to_string(row.user.min_saving));
    testing::write_file(services.policies, row.policies);
    write_options(row.user);
    ui::touch<ui::frm_about>().parvex_chk.value = row.check;
    services.input_box_prompts.clear();
    // Where the password is asked for, the user types one: an empty answer cancels the send.
    services.input_box_answers.clear();
    if (row.asked) services.input_box_answers = {"pw"};
    const StatisticsValues was = statistics();
    clear_log();
    const std::string& bytes = row.text ? kText : incompressible;
    const sim::SentMessage sent = client.send("Quarterly", {{"file0.bin", bytes}});
    ASSERT_EQ(sent.attachments.size(), 1u);
    EXPECT_EQ(sent.attachments[0].marked, row.packed);
    EXPECT_EQ(services.input_box_prompts.size(), row.asked ? 1u : 0u);
    size_t ignored = 0, why = 0;
    for (const auto& l : log()) {
      ignored += l.find("ignored") != std::string::npos;
      why += l.find("Send left with its attachments: the archive ") != std::string::npos;
      // Random bytes make the archive the larger: its size, not a saving far below zero.
      if (!row.text && l.find("Send left with") != std::string::npos) {
        EXPECT_NE(l.find(" bytes against " + std::to_string(bytes.size()) + "), not the "),
                  std::string::npos)
            << l;
      }
    }
    EXPECT_EQ(ignored, row.ignored);
    const double normal = statistics().TotalNormalBytes - was.TotalNormalBytes;
    const double zip = statistics().TotalZipBytes - was.TotalZipBytes;
    if (!row.packed) {
      // Sent as they were: the same on both sides of the statistics.
      EXPECT_EQ(sent.attachments[0].file_name, "file0.bin");
      EXPECT_EQ(std::string(sent.attachments[0].bytes), bytes);
      EXPECT_EQ(normal, zip);
      EXPECT_EQ(why, row.policies.starts_with("Compression=0") ? 0u : 1u);
      EXPECT_TRUE(fs::list_files(dir / "Attachments").empty());
      EXPECT_FALSE(fs::exists_no_follow(dir / "Attachments.zip"));
      continue;
    }
    EXPECT_LT(zip, row.text ? normal / 10 : normal * 1.01);
    EXPECT_NE(listing(sent.attachments[0].bytes.path())
                  .find("Readme.txt:" + std::to_string(signature + row.readme) + ":"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace parvex
