#include "zip_fixture.h"

#include <cstring>
#include <random>

#include "codepage.h"

namespace ziptest {
namespace {

std::string& log() {
  static std::string text;
  return text;
}

int32_t PVX_CALL capture(char* buf, uint32_t len) {
  // The add-in relies on a zero after len bytes and on no more than 4,096 bytes a call.
  EXPECT_EQ(buf[len], '\0');
  EXPECT_EQ(std::strlen(buf), len);
  EXPECT_LE(len, 4096u);
  log().append(buf, len);
  return 0;
}

}  // namespace

void ZipTest::SetUp() {
  dir_ = pvx::unzip::test::utf8(tmp_.path());
  archive_ = path("out.zip");
  ZipCallbackRecord callbacks{&capture, nullptr, nullptr, 0};
  ASSERT_EQ(ZpInit(&callbacks), 1);
}

std::string ZipTest::make(const std::string& utf8_name, const std::string& bytes) {
  const std::string p = path(utf8_name);
  fs::create_directories(fs::u8path(p).parent_path());
  write_file(fs::u8path(p), bytes);
  return p;
}

int32_t ZipTest::zip(const std::string& archive, const std::vector<std::string>& names,
                     const Options& o) {
  std::string root = pvx::utf8_to_ansi(o.root);
  ZipOptionRecord rec{};
  rec.recurse = o.recurse;
  rec.update = o.update;
  rec.level = o.level;
  rec.root_directory = root.data();
  EXPECT_EQ(ZpSetOptions(&rec), 1);
  std::vector<std::string> ansi;
  for (const std::string& n : names) ansi.push_back(pvx::utf8_to_ansi(n));
  ZipNameList list{};
  for (size_t i = 0; i < ansi.size() && i < ZIP_MAX_NAMES; ++i) list.names[i] = ansi[i].data();
  std::string archive_ansi = pvx::utf8_to_ansi(archive);
  log().clear();
  return ZpArchive(static_cast<int32_t>(names.size()), archive_ansi.c_str(), &list);
}

const std::string& ZipTest::printed() {
  return log();
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

std::string text_bytes(size_t n) {
  static const char* words[] = {"attachment ", "outlook ", "report ", "zip ", "quarterly\r\n",
                                "figures ",    "send ",    "mail ",   "the "};
  std::mt19937 gen(7);
  std::string out;
  while (out.size() < n) out += words[gen() % 9];
  out.resize(n);
  return out;
}

std::string repeated_bytes(size_t n) {
  const std::string unit = random_bytes(3000, 5);
  std::string out;
  while (out.size() < n) out += unit;
  out.resize(n);
  return out;
}

}  // namespace ziptest
