// parvex-sim's script runner over a whole host session.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "addin_fixture.h"
#include "platform/fs.h"
#include "sim/sim_session.h"

namespace parvex {
namespace {

using SimSessionTest = testing::AddinTest;

TEST_F(SimSessionTest, AScriptedSessionConnectsSendsAndReleasesEverything) {
  testing::copy_libraries(dir.path());
  testing::write_file(dir / "notes.txt", std::string(5000, 'n'));

  std::ostringstream out;
  {
    sim::SimSession session(out, dir / "Outbox");
    std::istringstream script(
        "explorer Inbox\nconnect\nshow startup\nstartup continue\n"
        "show startup\n# a comment\n\nmail Notes\nattach " +
        (dir / "notes.txt") + "\nread\nsend\nbutton\nshow about\nlog\nshutdown\n");
    ASSERT_TRUE(session.run_script(script)) << out.str();
    ASSERT_EQ(session.written_messages().size(), 1u);
    EXPECT_TRUE(fs::is_file(session.written_messages()[0] + kPathSep + "DD.zip"));
    EXPECT_FALSE(session.run("frobnicate"));
    EXPECT_FALSE(session.run("attach " + (dir / "missing.txt")));
  }
  const std::string text = out.str();
  size_t at = 0;
  // In the order the script produces them.
  for (const char* expected :
       {"window \"Startup :)\" (shown)", "(the startup window is closed)",
        "Sent \"Notes\" with 1 attachment(s):", "    notes.txt ", "    Readme.txt ",
        "window \"About us\" (shown)", " - # attachmen = 1", "Add notes.txt return 0",
        "Host references still held: 0, subscriptions still open: 0", "unknown command",
        "failed: attach "}) {
    at = text.find(expected, at);
    ASSERT_NE(at, std::string::npos) << expected << "\n" << text;
  }
}

}  // namespace
}  // namespace parvex
