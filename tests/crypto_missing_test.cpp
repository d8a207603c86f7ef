// A machine whose libcrypto cannot be used: a password the add-in cannot honour must cancel
// the send with every file still on the message, never let it leave unprotected; a send
// without one needs no libcrypto and still leaves packed.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"

namespace parvex {
namespace {

TEST(CryptoMissing, AProtectedSendIsCancelledAndAPlainOneLeavesPacked) {
  const std::string sim = testing::program_folder() + kPathSep + "parvex-sim";
  testing::TempFolder dir;
  const std::string file = dir / "figures.txt";
  const std::string bytes(50000, 'x');
  testing::write_file(file, bytes);
  for (const bool password : {true, false}) {
    SCOPED_TRACE(password ? "with a password" : "without one");
    const std::string outbox = dir / (password ? "out-protected" : "out-plain");
    const std::string log = outbox + ".log";
    const std::string command = "LD_LIBRARY_PATH='" PARVEX_NO_CRYPTO "' '" + sim +
                                "' send --addin-folder '" + outbox + ".addin' --outbox '" + outbox +
                                "'" + (password ? " --password pw '" : " '") + file + "' > '" +
                                log + "' 2>&1";
    const int status = std::system(command.c_str());
    const std::string said = testing::read_file(log);
    SCOPED_TRACE("the program said:\n" + said);
    if (password) {
      EXPECT_NE(status, 0);
      EXPECT_NE(said.find("could not be protected with the password"), std::string::npos);
      EXPECT_NE(said.find("The send was cancelled; the message stays open."), std::string::npos);
      EXPECT_FALSE(fs::exists_no_follow(outbox));
    } else {
      EXPECT_EQ(status, 0);
      const auto sent = fs::list_entries(outbox);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(fs::list_files(outbox + kPathSep + sent[0]),
                std::vector<std::string>{"Attachments.zip"});
      EXPECT_NE(said.find("    figures.txt "), std::string::npos);
    }
    EXPECT_EQ(testing::read_file(file), bytes);
  }
}

}  // namespace
}  // namespace parvex
#endif
