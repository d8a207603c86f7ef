// parvex-sim's script runner over a whole host session.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "platform/fs.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
#include "sim/sim_session.h"

namespace parvex {
namespace {

TEST(SimSessionTest, AScriptedSessionSendsPacksAndReleasesEverything) {
  testing::TempFolder dir;
  testing::ScriptedServices services;
  services.folder = dir.path();
  testing::ScopedServices scope(services);
  for (const char* base : {"zip32", "unzip32"}) {
    const std::string name = library_file_name(base);
    testing::write_file(dir / name,
                        testing::read_file(testing::program_folder() + kPathSep + name));
  }
  testing::write_file(dir / "notes.txt", std::string(5000, 'n'));
  testing::write_file(dir / "photo.raw", "\x01\x02\x03");

  std::ostringstream out;
  {
    sim::SimSession session(out, dir / "Outbox");
    std::istringstream script(
        "explorer Inbox\n"
        "connect\n"
        "show startup\n"
        "startup continue\n"
        "show startup\n"
        "# a contact window leaves the tracked mail alone\n"
        "mail Plain\n"
        "attach " +
        (dir / "notes.txt") +
        "\n"
        "contact Ana Pop\n"
        "check off\n"
        "send\n"
        "check on\n"
        "mail Packed\n"
        "attach " +
        (dir / "notes.txt") +
        "\n"
        "attach " +
        (dir / "photo.raw") +
        "\n"
        "read\n"
        "fail Attachments.Add 1\n"
        "send\n"
        "check on\n"
        "mail Again\n"
        "attach " +
        (dir / "photo.raw") +
        "\n"
        "send\n"
        "button\n"
        "log\n"
        "shutdown\n");
    ASSERT_TRUE(session.run_script(script)) << out.str();
    ASSERT_EQ(session.written_messages().size(), 3u);
    // The cleared check box, then a failed attach put back from the saved copies.
    EXPECT_TRUE(fs::is_file(session.written_messages()[0] + kPathSep + "notes.txt"));
    EXPECT_TRUE(fs::is_file(session.written_messages()[1] + kPathSep + "notes.txt"));
    EXPECT_TRUE(fs::is_file(session.written_messages()[1] + kPathSep + "photo.raw"));
    EXPECT_TRUE(fs::is_file(session.written_messages()[2] + kPathSep + "DD.zip"));
    EXPECT_FALSE(session.run("frobnicate"));
  }
  // The failed send saved the event log up to its error line to the log file.
  const std::string text = out.str() + testing::read_file(dir / "ziplogfile.log");
  for (const char* expected :
       {"Sent \"Again\" with 1 attachment(s):", "    photo.raw ", "    Readme.txt ",
        " - # attachmen = 2", "Eroare Mailsend The host call Attachments.Add failed.   0",
        "Host references still held: 0, subscriptions still open: 0", "unknown command",
        "Startup :)", "(the startup window is closed)"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
}

}  // namespace
}  // namespace parvex
