// The archive engine over our real zip and unzip libraries, used as the zip action uses it:
// one ZipFiles per file, all adding to one archive, which readers we did not write accept and
// UnzipFiles extracts again byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
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

std::filesystem::path as_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string as_utf8(const std::filesystem::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

// Every file under folder, by name, wherever the entry's folders put it.
std::map<std::string, std::string> files_under(const std::string& folder) {
  std::map<std::string, std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(as_path(folder))) {
    if (e.is_regular_file()) found[as_utf8(e.path().filename())] = as_utf8(e.path());
  }
  return found;
}

std::string pseudo_random_bytes(size_t n) {
  std::string bytes(n, '\0');
  uint32_t x = 2463534242u;
  for (char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x & 0xFF);
  }
  return bytes;
}

class RealLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* base : {"zip32", "unzip32"}) {
      const std::string path = svc.folder + kPathSep + library_file_name(base);
      if (!fs::is_file(path)) GTEST_SKIP() << path << " is not built";
    }
  }

  ScriptedServices svc = [] {
    ScriptedServices s;
    s.folder = testing::program_folder();
    return s;
  }();
  ScopedServices scope{svc};
};

TEST_F(RealLibraries, OneBuilderPerFileMakesAnArchiveThatExtractsByteForByte) {
  TempFolder work;
  const std::string attachments = work / "Attachments";
  fs::make_folder(attachments);
  const std::map<std::string, std::string> contents{
      {"Readme.txt", "Packed by Parvex.\r\nSecond line.\r\n"},
      {"photo.bin", pseudo_random_bytes(300000)},
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
  std::set<std::string> listed;
  // Names as a reader we did not write sees them.
  const std::string list_names =
      "PYTHONIOENCODING=utf-8 python3 -c \"import sys, zipfile; "
      "print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))\" '" +
      archive + "'";
  if (FILE* p = popen(list_names.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
      std::string s = line;
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      listed.insert(s);
    }
    pclose(p);
  }
  std::set<std::string> names;
  for (const auto& [name, bytes] : contents) names.insert(name);
  EXPECT_EQ(listed, names);
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
  const auto extracted = files_under(out);
  ASSERT_EQ(extracted.size(), contents.size());
  for (const auto& [name, bytes] : contents) {
    const auto it = extracted.find(name);
    ASSERT_NE(it, extracted.end()) << name;
    EXPECT_EQ(testing::read_file(it->second), bytes) << name;
  }
}

}  // namespace
}  // namespace parvex
