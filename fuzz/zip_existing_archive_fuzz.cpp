// libFuzzer target: any bytes as the archive that ZpArchive appends to, then replaces an entry
// in. Whatever they hold, a run either extends the archive or fails leaving it as it was.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "zip32.h"

namespace {

int32_t quiet(char*, uint32_t) {
  return 0;
}

int32_t password(char* buf, int32_t, char*, char*) {
  buf[0] = 'p';
  buf[1] = 'w';
  buf[2] = '\0';
  return 0;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Setup {
  std::string dir, archive, file;
  Setup() {
    char tmpl[] = "/tmp/pvx-zip-fuzz-XXXXXX";
    dir = mkdtemp(tmpl);
    archive = dir + "/a.zip";
    file = dir + "/a.txt";  // "a.txt" is also a likely name inside the fuzzed archive
    std::ofstream(file) << "new entry";
    ZipCallbackRecord callbacks{&quiet, &password, nullptr, 0};
    ZpInit(&callbacks);
  }
  ~Setup() { std::filesystem::remove_all(dir); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup s;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::ofstream(s.archive, std::ios::binary | std::ios::trunc) << bytes;
  // Every other input adds its entry as an AES one, its extra field among the old entries'.
  ZipOptionRecord options{};
  options.encrypt = size % 2 ? 3 : 0;
  ZpSetOptions(&options);
  ZipNameList names{};
  names.names[0] = s.file.data();
  const int32_t rc = ZpArchive(1, s.archive.c_str(), &names);
  if (rc != ZE_OK && slurp(s.archive) != bytes) std::abort();  // a failed run changed the file
  return 0;
}
