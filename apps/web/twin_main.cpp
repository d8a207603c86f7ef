// The engine's native twin, for tests and benchmarks: packs files as the WebAssembly module
// does, with the salts and the time given, so that both archives can be compared byte for byte.
//   parvex-web-twin [--password-file F] [--random-file F] [--time SECONDS] [--level N]
//                   OUT.zip FILE...
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/failure.h"
#include "crypto.h"
#include "engine.h"
#include "seams/native_services.h"

namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) parvex::raise(parvex::err::kPathFileAccess, std::string("Cannot read ") + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  parvex::set_native_services(&parvex::make_native_services);
  int status = 0;
  parvex::report_failure(
      [&] {
        std::string password;
        std::string random;
        int64_t time = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        int level = -1;
        int i = 1;
        for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
          if (std::strcmp(argv[i], "--password-file") == 0) {
            password = slurp(argv[i + 1]);
            while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
              password.pop_back();
            }
          } else if (std::strcmp(argv[i], "--random-file") == 0) {
            random = slurp(argv[i + 1]);
          } else if (std::strcmp(argv[i], "--time") == 0) {
            time = std::stoll(argv[i + 1]);
          } else if (std::strcmp(argv[i], "--level") == 0) {
            level = std::stoi(argv[i + 1]);
          }
        }
        if (i >= argc) parvex::raise(parvex::err::kInvalidCall, "usage: OUT.zip FILE...");
        const std::string out = argv[i++];
        std::vector<parvex::web::Attachment> files;
        for (; i < argc; ++i) files.push_back({base_name(argv[i]), slurp(argv[i])});
        pvx::crypto::supply_random_bytes(reinterpret_cast<const unsigned char*>(random.data()),
                                         random.size());
        const auto started = std::chrono::steady_clock::now();
        const std::string archive = parvex::web::pack_attachments(
            files, level, password, time,
            std::filesystem::absolute(out).string() + ".work." + std::to_string(getpid()));
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - started;
        std::ofstream(out, std::ios::binary).write(archive.data(), std::ssize(archive));
        std::fprintf(stderr, "packed in %.1f ms\n", took.count());
      },
      [&](const parvex::Failure& f) {
        std::fprintf(stderr, "%s\n", f.description().c_str());
        status = 1;
      });
  return status;
}
