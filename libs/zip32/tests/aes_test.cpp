// AES entries: written by our zip library, read back by our unzip library and by 7-Zip (and
// 7-Zip's read by ours). Damaged AES entries are the unzip library's damage tests.
#include <cstring>
#include <map>
#include <set>

#include "codepage.h"
#include "parallel_deflate.h"
#include "records.h"
#include "zip_aes.h"
#include "zip_fixture.h"
#include "zip_format.h"

namespace pvx::zip::test {
namespace {

std::string g_password;
int32_t g_answer = 0;
int g_asked = 0;

int32_t PVX_CALL give_password(char* buf, int32_t size, char* prompt, char* name) {
  ++g_asked;
  EXPECT_EQ(size, 256);
  EXPECT_TRUE(prompt && *prompt && name && *name);
  std::memset(buf, 'x', static_cast<size_t>(size));  // the library must not need our zero
  std::memcpy(buf, g_password.c_str(), g_password.size() + 1);
  return g_answer;
}

using Files = std::map<std::string, std::string>;  // name: bytes

const Files& sample_files() {
  static const Files files = {
      {"text.txt", text_bytes(3 * kBlockSize + 5)},    // deflated on the worker threads
      {"noise.bin", random_bytes(kBlockSize + 3, 1)},  // stored
      // Judged stored, then packed again deflated: the cipher starts over with it.
      {"mixed.bin", random_bytes(4 * kBlockSize, 4) + text_bytes(4 * kBlockSize)},
      {"empty.txt", ""},
      {"tiny.txt", "x"}};
  return files;
}

class Aes : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    init(&give_password);
    g_password = "Secret 1";
    g_answer = 0;
    for (const auto& [name, data] : sample_files()) samples_.push_back(make(name, data));
  }
  // Extracts with our unzip library into a new folder: its code, and what it wrote in *out.
  int extract(const std::string& archive, const std::string& password, Files* out) {
    const fs::path to = tmp_ / ("x" + std::to_string(++extractions_));
    pvx::unzip::test::Calls calls;
    calls.passwords = {pvx::utf8_to_ansi(password)};
    const int code = pvx::unzip::test::unzip(fs::u8path(archive), to,
                                             pvx::unzip::test::default_options(), &calls)
                         .code;
    out->clear();
    for (const std::string& f : pvx::unzip::test::files_under(to)) (*out)[f] = read_file(to / f);
    return code;
  }
  std::vector<std::string> samples_;
  int extractions_ = 0;
};

TEST_F(Aes, EveryKeySizeRoundTripsStoredAndDeflated) {
  std::set<std::string> salts;  // of every entry of every run: none may repeat
  for (int strength = 1; strength <= 3; ++strength) {
    SCOPED_TRACE(strength);
    const std::string archive = path("s" + std::to_string(strength) + ".zip");
    g_asked = 0;
    ASSERT_EQ(zip(archive, samples_, Options{.encrypt = strength}), ZE_OK);
    EXPECT_EQ(g_asked, 1) << "asked once per run";
    const Archive a = read_zip(archive);  // which checks the local CRC against the central one
    ASSERT_EQ(a.entries.size(), samples_.size());
    for (const Entry& e : a.entries) {
      SCOPED_TRACE(e.name);
      EXPECT_EQ(e.method, kMethodAes);
      EXPECT_TRUE(e.flags & kFlagEncrypted);
      EXPECT_EQ(e.crc, 0u);  // AE-2: no CRC of the plain bytes in clear
      const bool deflated = e.name == "text.txt" || e.name == "mixed.bin";
      const AesExtra extra{kAesVendorAe2, strength, deflated ? kMethodDeflated : kMethodStored};
      EXPECT_NE(e.extra.find(aes_extra_block(extra)), std::string::npos);
      salts.insert(e.data.substr(0, aes_salt_size(strength)));
    }
    EXPECT_EQ(read_file(archive).find(sample_files().at("noise.bin").substr(100, 32)),
              std::string::npos)
        << "stored data in the clear";
    Files out;
    ASSERT_EQ(extract(archive, g_password, &out), PK_OK);
    EXPECT_TRUE(out == sample_files());
#ifndef _WIN32
    const std::string to = path("by7z" + std::to_string(strength));
    ASSERT_EQ(sh("7z x -bd -p'" + g_password + "' -o'" + to + "' '" + archive + "'"), 0);
    for (const auto& [name, data] : sample_files()) {
      EXPECT_TRUE(read_file(fs::u8path(to) / name) == data) << name << " read by 7-Zip";
    }
    // And ours reads what 7-Zip writes with this key size, refusing a wrong password.
    const std::string theirs = path("7z" + std::to_string(strength) + ".zip");
    ASSERT_EQ(sh("cd '" + dir_ + "' && 7z a -bd -tzip -p'" + g_password + "' -mem=AES" +
                 std::to_string(64 + 64 * strength) + " '" + theirs +
                 "' text.txt noise.bin mixed.bin empty.txt tiny.txt"),
              0);
    ASSERT_EQ(extract(theirs, g_password, &out), PK_OK);
    EXPECT_TRUE(out == sample_files());
    EXPECT_EQ(extract(theirs, "wrong", &out), IZ_BADPWD);
    EXPECT_TRUE(out.empty());
#endif
  }
  EXPECT_EQ(salts.size(), 3 * samples_.size()) << "a salt repeated between entries or runs";
}

TEST_F(Aes, NoPasswordNoRunAndTheArchiveStaysAsItWas) {
  const std::string file = make("a.txt", "data");
  ASSERT_EQ(zip(archive_, {file}), ZE_OK);
  const std::string before = read_file(archive_);
  const struct {
    const char* what;
    int32_t answer;
    const char* password;
    int encrypt;
    ZipPasswordFn callback = &give_password;
  } cases[] = {{"callback declines", 1, "pw", 3},
               {"empty password", 0, "", 3},
               {"unknown strength", 0, "pw", 4},
               {"no callback", 0, "pw", 1, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    init(c.callback);
    g_answer = c.answer;
    g_password = c.password;
    EXPECT_EQ(zip(archive_, {file}, Options{.encrypt = c.encrypt}), ZE_PARMS);
    EXPECT_TRUE(read_file(archive_) == before);
    EXPECT_EQ(zip(path("new.zip"), {file}, Options{.encrypt = c.encrypt}), ZE_PARMS);
    EXPECT_FALSE(pvx::stat_path(path("new.zip")).exists);
  }
}

// Past 4 GiB the zip64 block and the AES block stand side by side, in both headers.
TEST(AesRecords, Zip64EntriesCarryBothExtraFields) {
  const EntryHeader h{.name = "big.bin",
                      .flags = kFlagEncrypted,
                      .method = kMethodDeflated,
                      .aes_strength = 3,
                      .csize = 0x100000000ull,
                      .usize = 0x123456789ull,
                      .offset = 0x200000000ull,
                      .zip64_sizes = true};
  const std::string local = local_header(h), central = central_record(h);
  EXPECT_EQ(local.size(), local_header_size(h));
  const auto c = parse_central_header(central);
  ASSERT_TRUE(c);
  ASSERT_EQ(c->length(), central.size());
  EXPECT_EQ(c->method, kMethodAes);
  uint64_t usize = c->usize, csize = c->csize, offset = c->offset;
  uint32_t disk = c->disk;
  EXPECT_TRUE(resolve_zip64(c->extra, &usize, &csize, &offset, &disk).complete);
  EXPECT_EQ(std::vector<uint64_t>({usize, csize, offset}),
            std::vector<uint64_t>({h.usize, h.csize, h.offset}));
  const std::string aes = aes_extra_block({kAesVendorAe2, 3, kMethodDeflated});
  EXPECT_NE(c->extra.find(aes), std::string::npos);
  EXPECT_NE(local.find(aes, kLocalHeaderSize + h.name.size()), std::string::npos);
}

}  // namespace
}  // namespace pvx::zip::test
