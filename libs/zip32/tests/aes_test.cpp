// AES entries: written by our zip library, read back by our unzip library and by 7-Zip (and
// 7-Zip's read by ours); wrong passwords and altered bytes are refused, nothing extracted.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codepage.h"
#include "le.h"
#include "parallel_deflate.h"
#include "records.h"
#include "zip_aes.h"
#include "zip_fixture.h"
#include "zip_format.h"

namespace pvx::zip::test {
namespace {

using pvx::unzip::test::Calls;
using pvx::unzip::test::files_under;

std::string g_password = "Secret 1";
int32_t g_answer = 0;
int g_asked = 0;

int32_t PVX_CALL quiet(char*, uint32_t) {
  return 0;
}
int32_t PVX_CALL give_password(char* buf, int32_t size, char* prompt, char* name) {
  ++g_asked;
  EXPECT_EQ(size, 256);
  EXPECT_TRUE(prompt && *prompt && name && *name);
  std::memset(buf, 'x', static_cast<size_t>(size));  // the library must not need our zero
  std::memcpy(buf, g_password.c_str(), g_password.size() + 1);
  return g_answer;
}

// An entry as its central record and local header give it.
struct Record {
  size_t central = 0;  // offset of the central record
  CentralHeader h;
  AesExtra aes;
  bool has_aes = false;
};

std::vector<Record> records(const std::string& zip) {
  EndRecordSearch search(
      [&](uint64_t at, void* out, size_t n) {
        if (at > zip.size() || zip.size() - at < n) return false;
        std::memcpy(out, zip.data() + at, n);
        return true;
      },
      zip.size());
  const auto end = search.next();
  std::vector<Record> out;
  if (!end) return out;
  size_t pos = end->end.cd_offset;
  for (int i = 0; i < end->end.entries; ++i) {
    Record r;
    r.central = pos;
    const auto h = parse_central_header(std::string_view(zip).substr(pos));
    if (!h) break;
    r.h = *h;
    for_each_extra(h->extra, [&](uint16_t id, std::string_view d) {
      if (id == kAesExtraId) r.has_aes = parse_aes_extra(d, &r.aes);
    });
    out.push_back(r);
    pos += h->length();
  }
  return out;
}

class Aes : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    ZipCallbackRecord callbacks{&quiet, &give_password, nullptr, 0};
    ASSERT_EQ(ZpInit(&callbacks), 1);
    g_password = "Secret 1";
    g_answer = 0;
    g_asked = 0;
  }
  // Extracts with our unzip library into a new folder; `out` lists what it wrote.
  int extract(const std::string& archive, const std::string& password,
              std::vector<std::string>* out, std::string* printed = nullptr) {
    const fs::path to = tmp_ / ("x" + std::to_string(++extractions_));
    Calls calls;
    calls.passwords = {pvx::utf8_to_ansi(password)};
    const auto r = pvx::unzip::test::unzip(fs::u8path(archive), to,
                                           pvx::unzip::test::default_options(), &calls);
    *out = files_under(to);
    for (const std::string& f : *out) contents_[f] = read_file(to / f);
    if (printed) *printed = calls.printed;
    return r.code;
  }
  std::map<std::string, std::string> contents_;
  int extractions_ = 0;
};

Options with_aes(int strength) {
  Options o;
  o.encrypt = strength;
  return o;
}

const std::vector<std::pair<std::string, std::string>>& sample_files() {
  static const std::vector<std::pair<std::string, std::string>> files = {
      {"text.txt", text_bytes(3 * kBlockSize + 5)},    // deflated on the worker threads
      {"noise.bin", random_bytes(kBlockSize + 3, 1)},  // stored
      // Judged stored, then packed again deflated: the cipher starts over with it.
      {"mixed.bin", random_bytes(4 * kBlockSize, 4) + text_bytes(4 * kBlockSize)},
      {"empty.txt", ""},
      {"tiny.txt", "x"}};
  return files;
}

TEST_F(Aes, EveryKeySizeRoundTripsStoredAndDeflated) {
  std::vector<std::string> names;
  for (const auto& [name, data] : sample_files()) names.push_back(make(name, data));
  std::set<std::string> salts;  // of every entry of every run: none may repeat
  size_t entries = 0;
  for (int strength = 1; strength <= 3; ++strength) {
    SCOPED_TRACE(strength);
    const std::string archive = path("s" + std::to_string(strength) + ".zip");
    g_asked = 0;
    ASSERT_EQ(zip(archive, names, with_aes(strength)), ZE_OK);
    EXPECT_EQ(g_asked, 1) << "asked once per run";
    const std::string bytes = read_file(fs::u8path(archive));
    const auto recs = records(bytes);
    ASSERT_EQ(recs.size(), names.size());
    for (const Record& r : recs) {
      SCOPED_TRACE(std::string(r.h.name));
      EXPECT_EQ(r.h.method, kMethodAes);
      EXPECT_TRUE(r.h.flags & kFlagEncrypted);
      ASSERT_TRUE(r.has_aes);
      // AE-2: no CRC of the plain bytes in clear, in either header.
      EXPECT_EQ(r.h.crc, 0u);
      EXPECT_EQ(get32(reinterpret_cast<const unsigned char*>(bytes.data()) + r.h.offset + 14), 0u);
      EXPECT_EQ(r.aes.vendor_version, kAesVendorAe2);
      const auto* local = reinterpret_cast<const unsigned char*>(bytes.data()) + r.h.offset;
      salts.insert(
          bytes.substr(r.h.offset + kLocalHeaderSize + get16(local + 26) + get16(local + 28),
                       aes_salt_size(strength)));
      ++entries;
      EXPECT_EQ(r.aes.strength, strength);
      const bool deflated = r.h.name == "text.txt" || r.h.name == "mixed.bin";
      EXPECT_EQ(r.aes.method, deflated ? kMethodDeflated : kMethodStored);
    }
    EXPECT_EQ(bytes.find(sample_files()[1].second.substr(100, 32)), std::string::npos)
        << "stored data in the clear";
    std::vector<std::string> out;
    ASSERT_EQ(extract(archive, g_password, &out), PK_OK);
    ASSERT_EQ(out.size(), names.size());
    for (const auto& [name, data] : sample_files()) EXPECT_TRUE(contents_[name] == data) << name;
  }
  EXPECT_EQ(salts.size(), entries) << "a salt repeated between entries or runs";
}

TEST_F(Aes, WrongPasswordsAndAlteredBytesExtractNothing) {
  const std::string text = text_bytes(50000), noise = random_bytes(5000, 2);
  ASSERT_EQ(zip(archive_, {make("t.txt", text), make("n.bin", noise)}, with_aes(3)), ZE_OK);
  const std::string good = read_file(fs::u8path(archive_));
  const auto recs = records(good);
  ASSERT_EQ(recs.size(), 2u);
  const size_t second = recs[1].h.offset;  // the stored entry: no inflate to trip over
  const size_t second_data = second + kLocalHeaderSize + recs[1].h.name_length + 4 + 7;
  const size_t second_end = recs[0].central;  // the directory follows the last entry
  const auto flip = [&](size_t at) {
    std::string z = good;
    z[at] = static_cast<char>(z[at] ^ 0x20);
    return z;
  };
  const struct {
    const char* what;
    std::string zip;
    std::string password;
    int code;
  } cases[] = {
      {"wrong password", good, "secret 1", IZ_BADPWD},
      {"salt altered", flip(second_data), g_password, IZ_BADPWD},
      {"data altered", flip(second_data + 18 + 100), g_password, PK_ERR},
      {"code altered", flip(second_end - 1), g_password, PK_ERR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(fs::u8path(archive_), c.zip);
    std::vector<std::string> out;
    std::string printed;
    EXPECT_EQ(extract(archive_, c.password, &out, &printed), c.code) << printed;
    // The other entry comes out whole, or not at all; the damaged one never.
    EXPECT_EQ(std::count(out.begin(), out.end(), "n.bin"), 0);
    if (c.code == PK_ERR) {
      EXPECT_NE(printed.find("authentication failed"), std::string::npos);
    }
  }
}

TEST_F(Aes, NoPasswordNoRunAndTheArchiveStaysAsItWas) {
  const std::string file = make("a.txt", "data");
  ASSERT_EQ(zip(archive_, {file}), ZE_OK);
  const std::string before = read_file(fs::u8path(archive_));
  const struct {
    const char* what;
    int32_t answer;
    const char* password;
    int encrypt;
  } cases[] = {{"callback declines", 1, "pw", 3},
               {"empty password", 0, "", 3},
               {"unknown strength", 0, "pw", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_answer = c.answer;
    g_password = c.password;
    EXPECT_EQ(zip(archive_, {file}, with_aes(c.encrypt)), ZE_PARMS);
    EXPECT_TRUE(read_file(fs::u8path(archive_)) == before);
    EXPECT_EQ(zip(path("new.zip"), {file}, with_aes(c.encrypt)), ZE_PARMS);
    EXPECT_FALSE(pvx::stat_path(path("new.zip")).exists);
  }
  ZipCallbackRecord no_callback{&quiet, nullptr, nullptr, 0};
  ASSERT_EQ(ZpInit(&no_callback), 1);
  EXPECT_EQ(zip(archive_, {file}, with_aes(1)), ZE_PARMS);
  EXPECT_TRUE(read_file(fs::u8path(archive_)) == before);
}

// Other tools write AE-1, which records the CRC: a reader checks it as well as the code.
TEST_F(Aes, FirstVersionEntriesAreCheckedByTheirCrc) {
  const std::string data = text_bytes(20000);
  ASSERT_EQ(zip(archive_, {make("a.txt", data)}, with_aes(2)), ZE_OK);
  std::string ae2 = read_file(fs::u8path(archive_));
  const Record r = records(ae2).at(0);
  const std::string block("\x01\x99\x07\x00\x02", 5);
  for (size_t at = 0; (at = ae2.find(block, at)) != std::string::npos;) {
    ae2[at + 4] = static_cast<char>(kAesVendorAe1);  // local and central blocks
  }
  const uint32_t crc = pvx::unzip::test::crc_of(data);
  const auto with_crc = [&](uint32_t value) {
    return patch32(patch32(ae2, r.h.offset + 14, value), r.central + 16, value);
  };
  // Another CRC in both headers: the code still matches, the CRC no longer does.
  const std::string good = with_crc(crc), bad = with_crc(crc ^ 1);
  const struct {
    const char* what;
    std::string zip;
    int code;
  } cases[] = {{"as written", good, PK_OK}, {"wrong CRC", bad, PK_ERR}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(fs::u8path(archive_), c.zip);
    std::vector<std::string> out;
    std::string printed;
    EXPECT_EQ(extract(archive_, g_password, &out, &printed), c.code);
    EXPECT_EQ(out.size(), c.code == PK_OK ? 1u : 0u);
    if (c.code == PK_ERR) {
      EXPECT_NE(printed.find("bad CRC"), std::string::npos) << printed;
    }
  }
}

TEST_F(Aes, Zip64EntriesCarryBothExtraFields) {
  EntryHeader h;
  h.name = "big.bin";
  h.method = kMethodDeflated;
  h.aes_strength = 3;
  h.flags = kFlagEncrypted;
  h.usize = 0x123456789ull;
  h.csize = 0x100000000ull;
  h.offset = 0x200000000ull;
  h.zip64_sizes = true;
  const std::string local = local_header(h);
  EXPECT_EQ(local.size(), local_header_size(h));
  const std::string central = central_record(h);
  const auto c = parse_central_header(central);
  ASSERT_TRUE(c);
  ASSERT_EQ(c->length(), central.size());
  uint64_t usize = c->usize, csize = c->csize, offset = c->offset;
  uint32_t disk = c->disk;
  EXPECT_TRUE(resolve_zip64(c->extra, &usize, &csize, &offset, &disk).complete);
  EXPECT_EQ(usize, h.usize);
  EXPECT_EQ(csize, h.csize);
  EXPECT_EQ(offset, h.offset);
  AesExtra aes;
  int seen = 0;
  for_each_extra(c->extra, [&](uint16_t id, std::string_view d) {
    if (id == kAesExtraId) seen += parse_aes_extra(d, &aes);
  });
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(aes.method, kMethodDeflated);
  EXPECT_EQ(c->method, kMethodAes);
  const std::string local_extra = local.substr(kLocalHeaderSize + h.name.size());
  EXPECT_NE(local_extra.find(aes_extra_block(aes)), std::string::npos);
}

#ifndef _WIN32
int sh(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str());
}

TEST_F(Aes, SevenZipReadsOursAndWeReadItsEveryKeySize) {
  std::vector<std::string> names;
  for (const auto& [name, data] : sample_files()) names.push_back(make(name, data));
  ASSERT_EQ(zip(archive_, names, with_aes(3)), ZE_OK);
  const std::string to = path("by7z");
  EXPECT_EQ(sh("7z t -bd -p'" + g_password + "' '" + archive_ + "'"), 0);
  EXPECT_NE(sh("7z t -bd -pwrong '" + archive_ + "'"), 0);
  ASSERT_EQ(sh("7z x -bd -p'" + g_password + "' -o'" + to + "' '" + archive_ + "'"), 0);
  for (const auto& [name, data] : sample_files()) {
    EXPECT_TRUE(read_file(fs::u8path(to) / name) == data) << name;
  }

  for (const char* bits : {"128", "192", "256"}) {
    SCOPED_TRACE(bits);
    const std::string theirs = path(std::string("7z") + bits + ".zip");
    ASSERT_EQ(sh("cd '" + dir_ + "' && 7z a -bd -tzip -p'" + g_password + "' -mem=AES" + bits +
                 " '" + theirs + "' text.txt noise.bin mixed.bin empty.txt tiny.txt"),
              0);
    std::vector<std::string> out;
    ASSERT_EQ(extract(theirs, g_password, &out), PK_OK);
    ASSERT_EQ(out.size(), names.size());
    for (const auto& [name, data] : sample_files()) EXPECT_TRUE(contents_[name] == data) << name;
    EXPECT_EQ(extract(theirs, "wrong", &out), IZ_BADPWD);
    EXPECT_TRUE(out.empty());
  }
}
#endif

}  // namespace
}  // namespace pvx::zip::test
