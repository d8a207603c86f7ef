#include "zip_fixture.h"

#include <cstring>
#include <fstream>
#include <random>

#include "codepage.h"
#include "unzip32.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

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

std::string* g_unzip_printed = nullptr;

int32_t PVX_CALL unzip_print(char* buf, uint32_t len) {
  g_unzip_printed->append(buf, len);
  return 0;
}

}  // namespace

int32_t test_with_unzip32(const std::string& archive, std::string* printed) {
#ifdef _WIN32
  const HMODULE lib = LoadLibraryW(L"unzip32.dll");
  void* fn = lib ? reinterpret_cast<void*>(GetProcAddress(lib, "Wiz_SingleEntryUnzip")) : nullptr;
#else
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  void* lib = dlopen((self.parent_path() / "libunzip32.so").c_str(), RTLD_NOW);
  void* fn = lib ? dlsym(lib, "Wiz_SingleEntryUnzip") : nullptr;
#endif
  if (!fn) return -1;
  std::string name = pvx::utf8_to_ansi(archive);
  UnzipOptionRecord o{};
  o.TestZip = 1;
  o.MessageLevel = 2;
  o.ZipFileName = name.data();
  UnzipCallbackRecord cb{};
  cb.print = &unzip_print;
  printed->clear();
  g_unzip_printed = printed;
  return reinterpret_cast<decltype(&Wiz_SingleEntryUnzip)>(fn)(0, nullptr, 0, nullptr, &o, &cb);
}

std::filesystem::path u8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

void ZipTest::SetUp() {
  namespace fs = std::filesystem;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  const fs::path dir = fs::temp_directory_path() / ("pvxzip_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::u8string u = dir.u8string();
  dir_.assign(u.begin(), u.end());
  archive_ = path("out.zip");
  ZipCallbackRecord callbacks{&capture, nullptr, nullptr, 0};
  ASSERT_EQ(ZpInit(&callbacks), 1);
}

void ZipTest::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string ZipTest::make(const std::string& utf8_name, const std::string& bytes) {
  const std::string p = path(utf8_name);
  const std::filesystem::path fsp = u8(p);
  std::filesystem::create_directories(fsp.parent_path());
  std::ofstream(fsp, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
