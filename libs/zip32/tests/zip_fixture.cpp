#include "zip_fixture.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "codepage.h"

namespace pvx::zip::test {
namespace {

std::string g_printed;

int32_t PVX_CALL capture(char* buf, uint32_t len) {
  // The add-in relies on a zero after len bytes and on no more than 4,096 bytes a call.
  EXPECT_EQ(buf[len], '\0');
  EXPECT_EQ(std::strlen(buf), len);
  EXPECT_LE(len, 4096u);
  g_printed.append(buf, len);
  return 0;
}

uint64_t le(const std::string& s, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s.at(at + i));
  return v;
}

}  // namespace

void ZipTest::SetUp() {
  dir_ = pvx::unzip::test::utf8(tmp_.path());
  archive_ = path("out.zip");
  init(nullptr);
}

void ZipTest::init(ZipPasswordFn password) {
  ZipCallbackRecord callbacks{&capture, password, nullptr, 0};
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
  rec.encrypt = o.encrypt;
  rec.level = o.level;
  rec.root_directory = root.data();
  EXPECT_EQ(ZpSetOptions(&rec), 1);
  std::vector<std::string> ansi;
  for (const std::string& n : names) ansi.push_back(pvx::utf8_to_ansi(n));
  ZipNameList list{};
  for (size_t i = 0; i < ansi.size() && i < ZIP_MAX_NAMES; ++i) list.names[i] = ansi[i].data();
  std::string archive_ansi = pvx::utf8_to_ansi(archive);
  g_printed.clear();
  return ZpArchive(static_cast<int32_t>(names.size()), archive_ansi.c_str(), &list);
}

const std::string& ZipTest::printed() {
  return g_printed;
}

void ZipTest::expect_no_temporaries() const {
  for (const auto& e : fs::directory_iterator(dir_)) {
    EXPECT_NE(e.path().extension(), ".tmp") << "temporary file left behind";
  }
}

int sh(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str());
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

bool inflate_raw(const std::string& in, uint64_t usize, std::string* out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  out->assign(usize, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out->data());
  z.avail_out = static_cast<uInt>(out->size());
  const int rc = inflate(&z, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && z.avail_out == 0 && z.avail_in == 0;
  inflateEnd(&z);
  return ok;
}

std::string Archive::data(const std::string& name) const {
  for (const Entry& e : entries) {
    if (e.name == name) return e.data;
  }
  return "(no such entry)";
}

Archive read_zip(const std::string& path) {
  Archive a;
  const std::string z = read_file(path);
  auto fail = [&](const std::string& why) {
    ADD_FAILURE() << path << ": " << why;
    return a;
  };
  try {
    size_t end = z.rfind(std::string("PK\5\6", 4));
    if (end == std::string::npos) return fail("no end record");
    uint64_t count = le(z, end + 10, 2), cd_size = le(z, end + 12, 4), cd = le(z, end + 16, 4);
    if (end >= 20 && le(z, end - 20, 4) == 0x07064b50) {
      const size_t z64 = le(z, end - 12, 8);
      if (le(z, z64, 4) != 0x06064b50) return fail("bad zip64 end record");
      a.zip64_end = true;
      count = le(z, z64 + 32, 8);
      cd_size = le(z, z64 + 40, 8);
      cd = le(z, z64 + 48, 8);
    }
    size_t p = cd;
    for (uint64_t i = 0; i < count; ++i) {
      if (le(z, p, 4) != 0x02014b50) return fail("bad central record");
      Entry e;
      e.flags = le(z, p + 8, 2);
      e.method = le(z, p + 10, 2);
      e.crc = le(z, p + 16, 4);
      e.csize = le(z, p + 20, 4);
      e.usize = le(z, p + 24, 4);
      const size_t n = le(z, p + 28, 2), x = le(z, p + 30, 2), c = le(z, p + 32, 2);
      e.internal_attr = le(z, p + 36, 2);
      e.offset = le(z, p + 42, 4);
      e.name = z.substr(p + 46, n);
      e.extra = z.substr(p + 46 + n, x);
      for (size_t q = p + 46 + n; q + 4 <= p + 46 + n + x; q += 4 + le(z, q + 2, 2)) {
        if (le(z, q, 2) != 1) continue;
        size_t f = q + 4;
        for (uint64_t* v : {&e.usize, &e.csize, &e.offset}) {
          if (*v == 0xFFFFFFFFu) *v = le(z, f, 8), f += 8;
        }
      }
      p += 46 + n + x + c;
      const size_t l = e.offset;
      if (le(z, l, 4) != 0x04034b50) return fail("bad local header for " + e.name);
      if (le(z, l + 6, 2) & 8) return fail("data descriptor used for " + e.name);
      if (le(z, l + 14, 4) != e.crc) return fail("local CRC differs for " + e.name);
      const size_t ln = le(z, l + 26, 2), lx = le(z, l + 28, 2);
      if (z.substr(l + 30, ln) != e.name) return fail("local name differs for " + e.name);
      uint64_t lc = le(z, l + 18, 4), lu = le(z, l + 22, 4);
      if (lu == 0xFFFFFFFFu && lx >= 20 && le(z, l + 30 + ln, 2) == 1) {
        lu = le(z, l + 34 + ln, 8);
        lc = le(z, l + 42 + ln, 8);
      }
      if (lc != e.csize || lu != e.usize) return fail("local sizes differ for " + e.name);
      const std::string raw = z.substr(l + 30 + ln + lx, e.csize);
      if (raw.size() != e.csize) return fail("data cut short for " + e.name);
      if (e.method == 0 || e.method == 99) {
        e.data = raw;
      } else if (e.method != 8 || !inflate_raw(raw, e.usize, &e.data)) {
        return fail("cannot inflate " + e.name);
      }
      if (e.method != 99 && pvx::unzip::test::crc_of(e.data) != e.crc) {
        return fail("CRC mismatch for " + e.name);
      }
      a.entries.push_back(std::move(e));
    }
    if (p != cd + cd_size) return fail("central directory size differs");
  } catch (const std::out_of_range&) {
    return fail("record runs past the end");
  }
  return a;
}

}  // namespace pvx::zip::test
