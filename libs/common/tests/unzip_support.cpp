#include "unzip_support.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "codepage.h"
#include "le.h"
#include "zip_aes.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace pvx::unzip::test {
namespace {

Calls* g_calls = nullptr;

// Callers may treat the buffers as fixed arrays (texts 0..32800, names 0..256): reading their
// last byte lets the address sanitizer prove they are that large.
char touch(const char* buf, size_t last) {
  return static_cast<const volatile char*>(buf)[last];
}

int32_t PVX_CALL on_print(char* buf, uint32_t len) {
  touch(buf, 32800);
  g_calls->printed.append(buf, len);
  return 0;
}

int32_t PVX_CALL on_replace(char* name) {
  touch(name, 32800);
  g_calls->replace_asked.emplace_back(name);
  std::deque<int32_t>& answers = g_calls->replace_answers;
  const int32_t answer = answers.empty() ? 100 : answers.front();
  if (!answers.empty()) answers.pop_front();
  return answer;
}

int16_t PVX_CALL on_password(char* buf, int32_t size, char* prompt, char* name) {
  touch(buf, 256);
  touch(prompt, 256);
  touch(name, 256);
  g_calls->password_names.emplace_back(name);
  if (g_calls->passwords.empty()) return 1;
  const std::string pw = g_calls->passwords.front().substr(0, size - 1);
  g_calls->passwords.pop_front();
  std::fill(buf, buf + size, '\0');
  std::copy(pw.begin(), pw.end(), buf);
  return 0;
}

void PVX_CALL on_list(uint32_t size, uint32_t csize, uint16_t ratio, uint16_t month, uint16_t day,
                      uint16_t year, uint16_t hour, uint16_t minute, char c, char* name,
                      char* method, uint32_t crc, char crypt) {
  touch(name, 256);
  touch(method, 256);
  g_calls->listed.push_back(
      {size, csize, ratio, month, day, year, hour, minute, c, name, method, crc, crypt});
}

int32_t PVX_CALL on_service(char* name, uint32_t) {
  touch(name, 32800);
  g_calls->serviced.emplace_back(name);
  return 0;
}

}  // namespace

const Api& api() {
  static const Api loaded = [] {
    Api a;
#ifdef _WIN32
    const HMODULE lib = LoadLibraryW(L"unzip32.dll");
    const auto find = [&](const char* name) {
      return lib ? reinterpret_cast<void*>(GetProcAddress(lib, name)) : nullptr;
    };
#else
    const fs::path self = fs::read_symlink("/proc/self/exe");
    void* lib = dlopen((self.parent_path() / "libunzip32.so").c_str(), RTLD_NOW);
    const auto find = [&](const char* name) { return lib ? dlsym(lib, name) : nullptr; };
#endif
    a.version = reinterpret_cast<decltype(a.version)>(find("UzpVersion2"));
    a.unzip = reinterpret_cast<decltype(a.unzip)>(find("Wiz_SingleEntryUnzip"));
    if (!a.version || !a.unzip) std::abort();  // nothing can be tested without them
    return a;
  }();
  return loaded;
}

UnzipCallbackRecord callbacks(Calls* calls) {
  g_calls = calls;
  return {&on_print, 0, &on_replace, &on_password, &on_list, &on_service, 0, 0, 0, 0, 0};
}

UnzipOptionRecord default_options() {
  return {0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, nullptr, nullptr};
}

Result unzip(const fs::path& archive, const fs::path& target, UnzipOptionRecord options,
             Calls* calls, const std::vector<std::string>& include,
             const std::vector<std::string>& exclude) {
  std::string archive_text = utf8_to_ansi(utf8(archive));
  std::string target_text = utf8_to_ansi(utf8(target));
  options.ZipFileName = archive_text.data();
  options.ExtractDir = target_text.data();
  std::vector<std::string> texts[2] = {include, exclude};
  ZipNameList lists[2] = {};
  for (int k = 0; k < 2; ++k) {
    for (size_t i = 0; i < texts[k].size(); ++i) lists[k].names[i] = texts[k][i].data();
  }
  Result result;
  result.record = callbacks(calls);
  result.code =
      api().unzip(static_cast<int32_t>(include.size()), &lists[0],
                  static_cast<int32_t>(exclude.size()), &lists[1], &options, &result.record);
  return result;
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = fs::temp_directory_path() /
          ("pvx-unzip-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string utf8(const fs::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> files_under(const fs::path& root) {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::u8string rel = e.path().lexically_relative(root).generic_u8string();
    out.emplace_back(rel.begin(), rel.end());
  }
  std::sort(out.begin(), out.end());
  return out;
}

uint32_t crc_of(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

std::string raw_deflate(const std::string& data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), 6);
  return out.substr(2, n - 6);  // less zlib's two-byte header and four-byte check value
}

namespace {

// Salt, verifier, the data encrypted, code: an AES entry's data under kAesPassword.
std::string aes_sealed(const std::string& data, int strength) {
  const unsigned char salt[kAesMaxSalt] = {1, 2, 3};
  unsigned char verifier[kAesVerifierSize], code[kAesCodeSize];
  AesStream aes;
  std::string sealed = data;
  auto* p = reinterpret_cast<unsigned char*>(sealed.data());
  if (!aes.start(kAesPassword, strength, salt, verifier) || !aes.encrypt(p, p, sealed.size()) ||
      !aes.finish(code)) {
    ADD_FAILURE() << "AES failed";
  }
  return std::string(reinterpret_cast<const char*>(salt), aes_salt_size(strength)) +
         std::string(reinterpret_cast<const char*>(verifier), kAesVerifierSize) + sealed +
         std::string(reinterpret_cast<const char*>(code), kAesCodeSize);
}

}  // namespace

std::string make_zip(const std::vector<TestEntry>& entries, const std::string& comment,
                     std::vector<uint64_t>* central_offsets) {
  std::string zip;
  std::string central;
  std::vector<uint64_t> local_offsets, central_at;
  for (const TestEntry& e : entries) {
    std::string payload = e.deflate ? raw_deflate(e.data) : e.data;
    const uint16_t method = e.deflate ? kMethodDeflated : kMethodStored;
    const std::string extra = e.aes ? aes_extra_block({e.aes_vendor, e.aes, method}) : "";
    if (e.aes) payload = aes_sealed(payload, e.aes);
    const uint32_t crc =
        e.crc.value_or(e.aes && e.aes_vendor == kAesVendorAe2 ? 0 : crc_of(e.data));
    const uint32_t csize = e.csize.value_or(static_cast<uint32_t>(payload.size()));
    const uint32_t usize = e.usize.value_or(static_cast<uint32_t>(e.data.size()));
    const std::string fields =
        le_fields("2222244422",
                  {e.aes ? 51u : 20u, static_cast<uint16_t>(e.flags | (e.aes ? kFlagEncrypted : 0)),
                   e.method.value_or(e.aes ? kMethodAes : method), e.dos_time, e.dos_date, crc,
                   csize, usize, e.name.size(), extra.size()});
    local_offsets.push_back(zip.size());
    central_at.push_back(central.size());
    zip += le_fields("4", {kLocalHeaderSig}) + fields;
    // Made by Unix, then the comment's length, disk, internal and external attributes, offset.
    central += le_fields("42", {kCentralHeaderSig, (3 << 8) | 20}) + fields +
               le_fields("22244", {0, 0, e.internal_attr, 0, local_offsets.back()});
    zip += e.name + extra + payload;
    central += e.name + extra;
  }
  for (uint64_t& at : central_at) at += zip.size();
  const auto cd_offset = static_cast<uint32_t>(zip.size());
  zip += central;
  zip += le_fields("4422442", {kEndOfCentralSig, 0, entries.size(), entries.size(), central.size(),
                               cd_offset, comment.size()});
  zip += comment;
  if (central_offsets) *central_offsets = central_at;
  return zip;
}

std::string le_fields(const char* widths, std::initializer_list<uint64_t> values) {
  std::string r;
  for (const uint64_t v : values) {
    for (int i = 0; i < *widths - '0'; ++i) r += static_cast<char>(v >> (8 * i));
    ++widths;
  }
  return r;
}

std::string patch32(std::string zip, uint64_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(v >> (8 * i));
  return zip;
}

}  // namespace pvx::unzip::test
