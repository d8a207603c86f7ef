#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "addin_fixture.h"
#include "platform/fs.h"
#include "scripted/scripted_services.h"
#include "sim/sim_outlook.h"

namespace parvex {
namespace {

class SimOutlookTest : public ::testing::Test {
 protected:
  testing::TempFolder dir_;
  sim::SimOutlook outlook_;
};

TEST_F(SimOutlookTest, AttachmentsHoldTheirBytesFromTheMomentTheyAreAdded) {
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
  // Names, deletion and renumbering are what every send goes through; the bounds are not.
  EXPECT_THROW(attachments->GetItem(3), Failure);
  EXPECT_THROW(attachments->GetItem(0), Failure);
  EXPECT_THROW(attachments->Add(dir_ / "missing", std::nullopt, std::nullopt, "x"), Failure);
}

// Anything but a regular file is refused by its kind, unopened: a FIFO would hang the attach.
TEST_F(SimOutlookTest, OnlyRegularFilesCanBeAttached) {
  std::vector<std::string> refused = {dir_.path()};
#ifndef _WIN32
  refused.push_back("/dev/null");
  ASSERT_EQ(std::system(("mkfifo '" + (dir_ / "fifo") + "'").c_str()), 0);
  refused.push_back(dir_ / "fifo");
#endif
  const auto item = outlook_.new_mail("m");
  for (const auto& path : refused) {
    EXPECT_THROW(item->attach_file(path), Failure) << path;
    EXPECT_THROW(item->GetAttachments()->Add(path, std::nullopt, std::nullopt, "x"), Failure)
        << path;
  }
  EXPECT_TRUE(item->attachments().empty());
}

// A large attachment is a file the item refers to, with its size in 64 bits, never its bytes.
TEST_F(SimOutlookTest, AnAttachedFileIsHeldByItsPathWithItsWholeSize) {
  const std::string big = dir_ / "big.bin";
  testing::write_file(big, "x");
  std::error_code ec;
  std::filesystem::resize_file(testing::as_path(big), uint64_t{5} << 30, ec);
  if (ec) GTEST_SKIP() << "no sparse 5 GiB file here: " << ec.message();
  const auto item = outlook_.new_mail("m");
  item->attach_file(big);
  ASSERT_EQ(item->attachments().size(), 1u);
  EXPECT_EQ(item->attachments()[0]->bytes().path(), big);
  EXPECT_EQ(item->attachments()[0]->bytes().size(), uint64_t{5} << 30);
}

// What the handlers leave is what leaves: the send tests see that through the add-in's archive.
TEST_F(SimOutlookTest, ACancelledSendKeepsTheItemAndItsWindow) {
  const auto item = outlook_.new_mail("report");
  bool cancel_next = true;
  auto sub = item->OnSend([&](bool& cancel) { cancel = cancel_next; });
  const auto window = outlook_.open_inspector(item, "report");
  EXPECT_FALSE(outlook_.send(item));
  EXPECT_TRUE(outlook_.outbox().empty());
  EXPECT_FALSE(window->closed());
  cancel_next = false;
  EXPECT_TRUE(outlook_.send(item));
  EXPECT_EQ(outlook_.outbox().size(), 1u);
  EXPECT_TRUE(window->closed());
}

TEST_F(SimOutlookTest, CountersFollowTheirHoldersAndWindowsCloseOnce) {
  const auto inbox = outlook_.open_explorer("Inbox");
  int closes = 0;
  {
    auto a = outlook_.ActiveExplorer();
    auto b = a;  // a copy of one reference is still that reference
    auto c = outlook_.GetExplorers();
    auto sub = inbox->OnClose([&] { ++closes; });
    EXPECT_EQ(outlook_.counters().references, 2);
    EXPECT_EQ(outlook_.counters().subscriptions, 1);
  }
  EXPECT_EQ(outlook_.counters().references, 0);
  EXPECT_EQ(outlook_.counters().subscriptions, 0);
  auto sub = inbox->OnClose([&] { ++closes; });
  outlook_.close(inbox);
  outlook_.close(inbox);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(outlook_.GetExplorers()->Count(), 0);
  EXPECT_EQ(outlook_.ActiveExplorer(), nullptr);
}

}  // namespace
}  // namespace parvex
