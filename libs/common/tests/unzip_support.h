// Shared pieces of the unzip and zip libraries' tests: callbacks that record what they are told,
// temporary folders, our unzip library loaded by name, and a small writer for hand-made (and
// hand-damaged) archives.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "unzip32.h"

namespace pvx::unzip::test {

namespace fs = std::filesystem;

struct Listed {
  uint32_t size, csize;
  uint16_t ratio, month, day, year, hour, minute;
  char c;
  std::string name, method;
  uint32_t crc;
  char crypt;
};

// What the callbacks were told, and the answers they give.
struct Calls {
  std::string printed;
  std::vector<std::string> replace_asked;
  std::deque<int32_t> replace_answers;  // when empty: 100, skip
  std::vector<std::string> password_names;
  std::deque<std::string> passwords;  // ANSI; when empty: 1, none given
  std::vector<Listed> listed;
  std::vector<std::string> serviced;
};

// The library's two entry points, loaded by name from beside the test program.
struct Api {
  decltype(&UzpVersion2) version = nullptr;
  decltype(&Wiz_SingleEntryUnzip) unzip = nullptr;
};
const Api& api();

// The callback record, answering from calls until the next call of callbacks().
UnzipCallbackRecord callbacks(Calls* calls);

// The options a new UnzipFiles object hands over: 0,0,0,2,0,0,0,0,0,1,1,0,0,1,0.
UnzipOptionRecord default_options();

struct Result {
  int code = -1;
  UnzipCallbackRecord record{};
};

// Wiz_SingleEntryUnzip on archive into target, with at most 100 names each way.
Result unzip(const fs::path& archive, const fs::path& target, UnzipOptionRecord options,
             Calls* calls, const std::vector<std::string>& include = {},
             const std::vector<std::string>& exclude = {});

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& utf8) const { return path_ / fs::u8path(utf8); }

 private:
  fs::path path_;
};

std::string utf8(const fs::path& path);
std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);
// Every file under root (none when it is missing), relative, with '/', sorted.
std::vector<std::string> files_under(const fs::path& root);
uint32_t crc_of(const std::string& bytes);
// Bytes no deflate can shrink.
std::string random_bytes(size_t n, uint32_t seed = 7);
// The data as deflate at level 6 writes it into an entry.
std::string raw_deflate(const std::string& data);

// One entry for make_zip; fields left out take the values a sound writer gives.
struct TestEntry {
  std::string name{};
  std::string data{};
  bool deflate = true;
  uint16_t internal_attr = 0;
  uint16_t flags = 0;
  uint16_t dos_time = (9 << 11) | (7 << 5);      // 09:07:00
  uint16_t dos_date = (24 << 9) | (3 << 5) | 5;  // 2004-03-05
  std::optional<uint16_t> method{};
  std::optional<uint32_t> usize{}, csize{}, crc{};  // declared in both headers
  int aes = 0;  // 1..3: an AES entry of that key strength under kAesPassword, salt fixed
  uint16_t aes_vendor = 2;  // AE-2; AE-1 entries keep the CRC of the plain data
};
inline constexpr const char* kAesPassword = "pw";

// central_offsets: where each entry's central directory record starts.
std::string make_zip(const std::vector<TestEntry>& entries, const std::string& comment = "",
                     std::vector<uint64_t>* central_offsets = nullptr);
// Little-endian fields: the values, each as wide as its digit in widths says.
std::string le_fields(const char* widths, std::initializer_list<uint64_t> values);
// zip with the 32-bit field at `at` set to v.
std::string patch32(std::string zip, uint64_t at, uint32_t v);

}  // namespace pvx::unzip::test
