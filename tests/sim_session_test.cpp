// The simulated client, and parvex-sim's script runner over a whole host session.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include "addin_fixture.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "sim/sim_outlook.h"
#include "sim/sim_session.h"
#include "support/settings_files.h"

namespace parvex {
namespace {

class SimOutlookTest : public ::testing::Test {
 protected:
  testing::TempFolder dir_;
  sim::SimOutlook outlook_;
};

TEST_F(SimOutlookTest, AttachmentsHoldTheirBytesAsAddedOrALargeFileByItsPath) {
  const auto item = outlook_.new_mail("m");
  const auto attachments = item->GetAttachments();
  testing::write_file(dir_ / "a.txt", "first version");
  attachments->Add(dir_ / "a.txt", std::nullopt, std::nullopt, "DD");
  testing::write_file(dir_ / "a.txt", "changed later");
  item->attach_bytes("b.bin", std::string("\0\1\2", 3));

  ASSERT_EQ(attachments->Count(), 2);
  attachments->GetItem(1)->SaveAsFile(dir_ / "out.txt");
  EXPECT_EQ(testing::read_file(dir_ / "out.txt"), "first version");
  // SaveAsFile replaces an existing file rather than appending to it.
  attachments->GetItem(2)->SaveAsFile(dir_ / "out.txt");
  EXPECT_EQ(testing::read_file(dir_ / "out.txt"), std::string("\0\1\2", 3));

  // A large attachment is a file the item refers to, with its size in 64 bits, never its bytes.
  const std::string big = dir_ / "big.bin";
  testing::write_file(big, "x");
  std::error_code ec;
  std::filesystem::resize_file(testing::as_path(big), uint64_t{5} << 30, ec);
  if (ec) GTEST_SKIP() << "no sparse 5 GiB file here: " << ec.message();
  item->attach_file(big);
  ASSERT_EQ(item->attachments().size(), 3u);
  EXPECT_EQ(item->attachments()[2]->bytes().path(), big);
  EXPECT_EQ(item->attachments()[2]->bytes().size(), uint64_t{5} << 30);
}

using SimSessionTest = testing::AddinTest;

// Every kind of send the host makes is packed exactly once, its window disabled meanwhile. Each
// session releases everything; a wrong line is refused whole, never showing what it types.
TEST_F(SimSessionTest, EverySendTheHostMakesIsPackedOnce) {
  testing::copy_libraries(dir.path());
  for (const char* f : {"a.txt", "b.txt", "logo.png"}) testing::write_file(dir / f, f);
  testing::write_file(dir / "notes.txt", std::string(5000, 'n'));
  const std::string a = dir / "a.txt", b = dir / "b.txt", logo = dir / "logo.png";
  const struct {
    std::string script;
    std::vector<std::string> expected;  // in this order
    bool ribbons = true;                // false: a host of command bars only
  } rows[] = {
      {"explorer Inbox\nconnect\nshow startup\nstartup continue\nshow startup\n# a comment\n\n"
       "mail Notes\nattach " +
           (dir / "notes.txt") + "\nread\ncancel-after 2\nsend\nsend\nribbon click About Parvex\n",
       {"window \"Startup :)\" (shown)", "(the startup window is closed)",
        "While packing: \"Notes - Message (HTML)\" disabled, owner of the progress window",
        "The send was cancelled; the message stays open.", "Sent \"Notes\" with 1 attachment(s):",
        "    notes.txt ", "    Readme.txt ", "window \"About us\" (shown)", " - # attachmen = 1",
        " - Send cancelled by the user", "Add notes.txt return 0"}},
      {"explorer\nconnect\nmail A\nattach " + a + "\nopen B\nsend A\n",
       {"While packing: \"A - Message (HTML)\" disabled, owner of the progress window",
        "Sent \"A\" with 1 attachment(s):", "    a.txt ", "    Readme.txt "}},
      {"explorer\nconnect\ninline-reply Re: x\nbody html <p>hi</p>\nattach " + a + "\nattach " + b +
           "\nattach " + logo + " inline logo1\nsend\n",
       {"While packing: \"Inbox - Microsoft Outlook\" disabled, owner of the progress window",
        "Sent \"Re: x\" with 2 attachment(s):", "  logo.png ", "  Attachments.zip ", "    a.txt ",
        "    b.txt ", " - Inline response: Re: x"}},
      {"explorer\nconnect\nprogram-send P " + a + "\n",
       {"While packing: no window disabled", "Sent \"P\" with 1 attachment(s):", "    a.txt "}},
      {"connect\nmail A\nattach " + a + "\nexplorer\nbutton\nsend\n",
       {"Sent \"A\" with 1 attachment(s):", "    a.txt ", "window \"About us\" (shown)"},
       false},
      {"explorer\nconnect\nmail A\nattach " + a + "\nattach " + b + "\ncancel-later\nsend\nsend\n",
       {"The send was cancelled", "Sent \"A\" with 1 attachment(s):", "  Attachments.zip ",
        "    a.txt ", "    b.txt ", "    Readme.txt ",
        "Attachments.zip left on the message (already packed)"}},
  };
  for (const auto& row : rows) {
    std::ostringstream out;
    {
      sim::SimSession session(out, dir / "Outbox");
      session.ask_for_ribbons(row.ribbons);
      std::istringstream script(row.script + "show about\nlog\nshutdown\n");
      EXPECT_TRUE(session.run_script(script)) << out.str();
      ASSERT_EQ(session.written_messages().size(), 1u);
      EXPECT_TRUE(fs::is_file(session.written_messages()[0] + kPathSep + "Attachments.zip"));
      EXPECT_FALSE(session.run("frobnicate"));
      EXPECT_FALSE(session.run("attach " + (dir / "missing.txt")));
      for (const char* wrong : {"Options password hunter2", "cancel-after 3x", "fail Item.Send 2x",
                                "fail Item.Sent", "kill-at Item.Send 0"})
        EXPECT_FALSE(session.run(wrong)) << wrong;
    }
    const std::string text = out.str();
    size_t at = 0;
    auto expected = row.expected;
    expected.insert(expected.end(), {"Host references still held: 0, subscriptions still open: 0",
                                     "unknown command", "failed: attach "});
    for (const std::string& e : expected) {
      at = text.find(e, at);
      ASSERT_NE(at, std::string::npos) << e << "\n" << text;
    }
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(text.find("left disabled"), std::string::npos) << text;
    // Packed once: by one of the send's two events only.
    const auto zipped = text.find("Zipped successfully");
    EXPECT_NE(zipped, std::string::npos) << text;
    EXPECT_EQ(text.find("Zipped successfully", zipped + 1), std::string::npos) << text;
  }
}

// The outbox as another reader sees it: every folder with its files and their contents.
std::string outbox_listing(const std::string& outbox) {
  auto folders = fs::list_entries(outbox);
  std::sort(folders.begin(), folders.end());
  std::string text;
  for (const auto& name : folders) {
    text += "[" + name + "]";
    for (const auto& [f, bytes] : testing::files_in(outbox + kPathSep + name)) {
      text += " " + f + "=" + bytes;
    }
  }
  return text;
}

// Attachments of one name stay apart, a folder another run took is not written into, and a
// write that fails half-way leaves nothing in the outbox.
TEST_F(SimSessionTest, TheOutboxKeepsEveryAttachmentAndOnlyWholeMessages) {
  for (const char* sub : {"d1", "d2"}) fs::make_folder(dir / sub);
  testing::write_file(dir / "d1" + kPathSep + "a.txt", "one");
  testing::write_file(dir / "d2" + kPathSep + "a.txt", "two");
  testing::write_file(dir / "DD.zip", "zip");
  testing::write_file(dir / "DD", "mine");  // a user's file, not the add-in's archive
  testing::write_file(dir / "big.txt", std::string(1 << 20, 'b'));
  const std::string outbox = dir / "Outbox";
  std::filesystem::create_directories(testing::as_path(outbox + kPathSep + "1 m"));

  std::ostringstream out;
  sim::SimSession session(out, outbox);
  ASSERT_TRUE(session.run("explorer"));
  ASSERT_TRUE(session.run("mail m"));
  for (const char* f : {"d1/a.txt", "d2/a.txt", "DD.zip", "DD"}) {
    ASSERT_TRUE(session.run("attach " + (dir / f))) << out.str();
  }
  ASSERT_TRUE(session.run("send")) << out.str();
  EXPECT_EQ(outbox_listing(outbox), "[1 m][2 m] DD=mine DD.zip=zip a (2).txt=two a.txt=one");
  EXPECT_EQ(out.str().find("archive"), std::string::npos) << out.str();
#ifndef _WIN32
  // A file size limit stands in for a full disk; writes past it fail instead of raising SIGXFSZ.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit small{4096, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool sent =
      session.run("mail n") && session.run("attach " + (dir / "big.txt")) && session.run("send");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(sent);
  EXPECT_EQ(outbox_listing(outbox), "[1 m][2 m] DD=mine DD.zip=zip a (2).txt=two a.txt=one");
  // A subject or a name too long for a file name is cut (whole characters), each message and
  // file still apart. (Windows counts a whole path against its own limit.)
  const std::string name = std::string(251, 'n') + ".txt";
  testing::write_file(dir / name, "long");
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(session.run("mail " + std::string(252, 's') + "\xC3\xA9 and more"));
    ASSERT_TRUE(session.run("attach " + (dir / name)) && session.run("attach " + (dir / name)));
    ASSERT_TRUE(session.run("send")) << out.str();
    EXPECT_TRUE(testing::files_in(outbox + kPathSep + std::to_string(k + 1) + " " +
                                  std::string(252, 's')) ==
                (testing::Files{{name, "long"}, {std::string(247, 'n') + " (2).txt", "long"}}));
  }
#endif
}

#ifndef _WIN32
// The program's answers: what it cannot do is no success, and options are not file names.
TEST_F(SimSessionTest, TheProgramsExitCodesSayWhatHappened) {
  testing::write_file(dir / "a.txt", "a");
  ASSERT_EQ(std::system(("mkfifo '" + (dir / "fifo") + "'").c_str()), 0);
  const std::string cancelling = dir / "cancel.txt";
  testing::write_file(cancelling, "explorer\nconnect\nmail m\nattach " + (dir / "a.txt") +
                                      "\nfail Attachments.Add\nsend\n");
  const std::string sim = "'" + testing::program_folder() + "/parvex-sim' ";
  // Password sends, each in a folder of its own; the password never shows in what the program
  // says, even on a line that fails (a settings file that is a folder cannot be written). An
  // option on the command line is for that run: the plain send after it is not asked for a
  // password (no answer would cancel it), and only --store-options writes the settings file.
  const std::string a = " '" + (dir / "a.txt") + "'";
  const std::string secret = dir / "secret.txt", script = dir / "answers.txt";
  testing::write_file(secret, " Leak Me123 \n");
  const auto folder = [&](const char* name) { return " --addin-folder '" + (dir / name) + "' "; };
  const auto send_script = [&](const std::string& answer) {
    return "options password LeakMe123\nmail m\nattach " + (dir / "a.txt") + "\n" + answer +
           "\nsend\n";
  };
  const std::string start = "explorer\nconnect\n";
  testing::write_file(script,
                      start + send_script("answer cancel") + send_script("answer unprotected"));
  testing::write_file(dir / "plain.txt", start + send_script("answer unprotected"));
  fs::make_folder(dir / "broken");
  fs::make_folder(dir / "broken" + kPathSep + kSettingsFile);
  const struct {
    std::string args;
    int code;
  } cases[] = {
      {"send --password '  '" + folder("p1") + a, 1},
      {"send --password ''" + folder("p2") + a, 2},
      {"send --password-file '" + secret + "'" + folder("p3") + a, 0},
      {"send --password-file -" + folder("p4") + a + " < '" + secret + "'", 0},
      {"send" + folder("p5") + a + " && PARVEX_PASSWORD=LeakMe123 " + sim + "send --min-saving 99" +
           folder("p5") + a + " && " + sim + "send" + folder("p5") + a +
           " </dev/null && test ! -e '" + dir / "p5" + kPathSep + kSettingsFile + "'",
       0},
      {"send --min-saving 99 --store-options" + folder("p8") + a + " && grep -q MinSaving=99 '" +
           dir / "p8" + kPathSep + kSettingsFile + "'",
       0},
      {"script" + folder("p6") + "'" + script + "'", 1},
      {"script" + folder("p7") + "'" + dir / "plain.txt" + "'", 0},
      {"script" + folder("broken") + "'" + script + "'", 1},
      {"--help", 0},
      {"send" + folder("data") + a, 0},
      {"send --subjekt x" + folder("data") + a, 2},
      {"send --min-saving abc" + folder("data") + a, 2},
      {"script" + folder("data") + "'" + dir.path() + "'", 1},
      {"send" + folder("data") + "'" + dir.path() + "'", 1},
      {"send" + folder("data") + "'" + (dir / "fifo") + "'", 1},
      {"send" + folder("data") + "/dev/null", 1},
      {"script" + folder("data") + "'" + cancelling + "'", 1},
  };
  for (const auto& c : cases) {
    const int status = std::system((sim + c.args + " >'" + dir / "said" + "' 2>&1").c_str());
    const std::string said = testing::read_file(dir / "said");
    EXPECT_EQ(WEXITSTATUS(status), c.code) << c.args << "\n" << said;
    EXPECT_EQ(said.find("Leak"), std::string::npos) << c.args << "\n" << said;
  }
}
#endif

// Runs installing at once each put whole libraries in place and leave nothing else.
TEST_F(SimSessionTest, ConcurrentInstallsLeaveWholeLibrariesOnly) {
  const std::string from = dir / "from";
  const std::string to = dir / "to";
  fs::make_folder(from);
  testing::copy_libraries(from);
  std::vector<std::string> errors(2);
  for (int round = 0; round < 20; ++round) {
    // A newer source each round: both runs find the installed copy old and replace it.
    std::filesystem::last_write_time(
        testing::as_path(from + kPathSep + library_file_name("zip32")),
        std::filesystem::file_time_type::clock::now() + std::chrono::seconds(round + 1));
    std::vector<std::thread> runs;
    for (size_t t = 0; t < 2; ++t) {
      runs.emplace_back([&, t] {
        try {
          sim::install_libraries(testing::as_path(from), testing::as_path(to));
        } catch (const std::exception& e) {
          errors[t] = e.what();
        }
      });
    }
    for (auto& r : runs) r.join();
  }
  EXPECT_EQ(errors, std::vector<std::string>(2)) << errors[0] << errors[1];
  EXPECT_TRUE(testing::files_in(to) == testing::files_in(from));
}

}  // namespace
}  // namespace parvex
