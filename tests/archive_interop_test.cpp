// The archive engine over our real zip and unzip libraries, used as the zip action uses it:
// one ZipFiles per file, all adding to one archive, which readers we did not write accept and
// UnzipFiles extracts again byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "platform/fs.h"
#include "platform/library.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"

namespace parvex {
namespace {

using testing::ScopedServices;
using testing::ScriptedServices;
using testing::TempFolder;

std::string incompressible(size_t n) {
  std::mt19937 random(2463534242u);
  std::string bytes(n, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  return bytes;
}

TEST(RealLibraries, OneBuilderPerFileMakesAnArchiveThatExtractsByteForByte) {
  ScriptedServices svc;
  svc.folder = testing::program_folder();
  ScopedServices scope(svc);
  for (const char* base : {"zip32", "unzip32"}) {
    const std::string path = svc.folder + kPathSep + library_file_name(base);
    if (!fs::is_file(path)) GTEST_SKIP() << path << " is not built";
  }
  TempFolder work;
  const std::string attachments = work / "Attachments";
  fs::make_folder(attachments);
  const std::map<std::string, std::string> contents{
      {"Readme.txt", "Packed by Parvex.\r\nSecond line.\r\n"},
      {"photo.bin", incompressible(300000)},
      {"report.txt", std::string(200000, 'a') + "tail"},
      {"empty.dat", ""},
      {"caf\xC3\xA9 menu.txt", "soupe du jour\n"},
  };
  for (const auto& [name, bytes] : contents) {
    testing::write_file(attachments + kPathSep + name, bytes);
  }

  const std::string archive = work / "Attachments.zip";
  for (const auto& [name, bytes] : contents) {
    ZipFiles z;
    z.ZipFileName(archive);
    z.UpdatingZip(false);
    z.addfile(attachments + kPathSep + name);
    z.IncludeSystemFiles(false);
    EXPECT_EQ(z.MakeZipFile(), ZE_OK) << name << ": " << z.GetLastMessage();
  }
  EXPECT_TRUE(svc.message_boxes.empty());

#ifndef _WIN32
  EXPECT_EQ(std::system(("unzip -tqq '" + archive + "' > /dev/null").c_str()), 0);
  // Names as a reader we did not write sees them; it prints them when they differ.
  std::string same_names =
      "PYTHONUTF8=1 python3 -c \"import sys, zipfile; n = sorted(zipfile.ZipFile(sys.argv[1])"
      ".namelist()); sys.exit(n != sorted(sys.argv[2:]) and str(n))\" '" +
      archive + "'";
  for (const auto& [name, bytes] : contents) same_names += " '" + name + "'";
  EXPECT_EQ(std::system(same_names.c_str()), 0);
#endif

  UnzipFiles test;
  test.TestZip(true);
  EXPECT_EQ(test.Unzip(archive, work.path()), PK_OK) << test.GetLastMessage();

  UnzipFiles list;
  list.ExtractList(1);
  EXPECT_EQ(list.Unzip(archive, work.path()), PK_OK);
  EXPECT_EQ(list.GetListCount(), static_cast<int16_t>(contents.size()));
  const std::string listing = list.GetListText();
  EXPECT_NE(listing.find("photo.bin" + std::string(41, ' ') + " 300000  "), std::string::npos)
      << listing;

  const std::string out = work / "out";
  fs::make_folder(out);
  UnzipFiles u;
  EXPECT_EQ(u.Unzip(archive, out), PK_OK) << u.GetLastMessage();
  // Flat: the entries carry no folders.
  EXPECT_EQ(fs::list_files(out).size(), contents.size());
  for (const auto& [name, bytes] : contents) {
    EXPECT_EQ(testing::read_file(out + kPathSep + name), bytes) << name;
  }
}

}  // namespace
}  // namespace parvex
