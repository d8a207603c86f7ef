// Times our zip library against the zip command on the same real files taken from the system,
// and checks that its peak memory does not grow with the size of the file it packs.
//
//   zip_bench [work-folder]      (default /tmp/pvx-zip-bench; it is emptied first)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zip32.h"

namespace fs = std::filesystem;

namespace {

int32_t PVX_CALL quiet(char*, uint32_t) {
  return 0;
}

// One ZpInit, ZpSetOptions, ZpArchive sequence, the way the add-in drives the library.
int32_t zp_archive(const std::string& archive, const std::vector<std::string>& names, int recurse,
                   const std::string& root) {
  ZipCallbackRecord callbacks{&quiet, nullptr, nullptr, 0};
  ZpInit(&callbacks);
  std::string root_copy = root;
  ZipOptionRecord options{};
  options.recurse = recurse;
  options.root_directory = root_copy.data();
  ZpSetOptions(&options);
  std::vector<std::string> copies = names;
  ZipNameList list{};
  for (size_t i = 0; i < copies.size(); ++i) list.names[i] = copies[i].data();
  return ZpArchive(static_cast<int32_t>(copies.size()), archive.c_str(), &list);
}

// Files of one kind under `root`, in name order, until `max_files` or `max_bytes`.
std::vector<fs::path> pick(const fs::path& root, const std::vector<std::string>& extensions,
                           uintmax_t min_size, size_t max_files, uintmax_t max_bytes) {
  std::vector<fs::path> all;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string ext = it->path().extension().string();
    if (!extensions.empty() &&
        std::find(extensions.begin(), extensions.end(), ext) == extensions.end()) {
      continue;
    }
    if (extensions.empty() && ext == ".gz") continue;
    if (it->file_size(ec) >= min_size) all.push_back(it->path());
  }
  std::sort(all.begin(), all.end());
  std::vector<fs::path> out;
  uintmax_t total = 0;
  for (const fs::path& p : all) {
    const uintmax_t size = fs::file_size(p, ec);
    if (out.size() == max_files || total + size > max_bytes) break;
    out.push_back(p);
    total += size;
  }
  return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uintmax_t size_of(const fs::path& p) {
  std::error_code ec;
  const uintmax_t n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

// Peak resident memory (KiB) of a child that packs `file` alone.
long child_peak_kib(const std::string& self, const std::string& file, const std::string& archive) {
  fs::remove(archive);
  const pid_t pid = fork();
  if (pid == 0) {
    execl(self.c_str(), self.c_str(), "--pack-one", file.c_str(), archive.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss;
}

void generate(const std::string& path, uintmax_t size) {
  static const char* words[] = {"attachment ", "report ", "quarterly ", "figures\r\n", "mail ",
                                "the ",        "zip ",    "outlook ",   "budget ",     "2026 "};
  std::mt19937 gen(42);
  std::ofstream out(path, std::ios::binary);
  std::string block;
  for (uintmax_t written = 0; written < size; written += block.size()) {
    block.clear();
    while (block.size() < (1u << 20)) block += words[gen() % 10];
    block.resize(static_cast<size_t>(std::min<uintmax_t>(block.size(), size - written)));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--pack-one") {
    return zp_archive(argv[3], {"querty", argv[2]}, 0, "\\") == ZE_OK ? 0 : 1;
  }
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/pvx-zip-bench");
  fs::remove_all(work);
  fs::create_directories(work / "files");

  // Real files no one here wrote: binaries, documents, images and many small texts.
  struct Kind {
    const char* what;
    std::vector<fs::path> files;
  };
  std::vector<Kind> kinds = {
      {"binaries", pick("/usr/bin", {}, 64 << 10, 400, 64u << 20)},
      {"pdf", pick("/usr/share", {".pdf"}, 0, 20, 32u << 20)},
      {"html", pick("/usr/share", {".html"}, 0, 200, 16u << 20)},
      {"images", pick("/usr/share", {".png", ".jpg", ".jpeg"}, 0, 800, 32u << 20)},
      {"small text", pick("/usr/share/doc", {}, 0, 2000, 16u << 20)},
  };
  std::vector<std::string> files;
  uintmax_t total = 0;
  for (const Kind& k : kinds) {
    uintmax_t bytes = 0;
    for (const fs::path& p : k.files) {
      const fs::path copy =
          work / "files" / (std::to_string(files.size()) + "_" + p.filename().string());
      fs::copy_file(p, copy);
      files.push_back(copy.string());
      bytes += size_of(copy);
    }
    std::printf("%-11s %5zu files %8.1f MiB\n", k.what, k.files.size(), bytes / 1048576.0);
    total += bytes;
  }
  std::printf("%-11s %5zu files %8.1f MiB\n\n", "all", files.size(), total / 1048576.0);

  const std::string per_file = (work / "per_file.zip").string();
  const std::string one_call = (work / "one_call.zip").string();
  const std::string by_zip = (work / "by_zip.zip").string();
  const std::string files_dir = (work / "files").string();
  double best[3] = {1e30, 1e30, 1e30};
  for (int round = 0; round < 3; ++round) {
    fs::remove(per_file);
    auto t = std::chrono::steady_clock::now();
    for (const std::string& f : files) {
      if (zp_archive(per_file, {"querty", f}, 0, "\\") != ZE_OK) {
        std::fprintf(stderr, "ZpArchive failed on %s\n", f.c_str());
        return 1;
      }
    }
    best[0] = std::min(best[0], seconds_since(t));

    fs::remove(one_call);
    t = std::chrono::steady_clock::now();
    if (zp_archive(one_call, {"."}, 1, files_dir) != ZE_OK) return 1;
    best[1] = std::min(best[1], seconds_since(t));

    fs::remove(by_zip);
    t = std::chrono::steady_clock::now();
    if (std::system(("cd '" + files_dir + "' && zip -q -r '" + by_zip + "' .").c_str()) != 0)
      return 1;
    best[2] = std::min(best[2], seconds_since(t));
  }
  const double zip_s = best[2];
  const double zip_bytes = static_cast<double>(size_of(by_zip));
  std::printf("%-34s %8s %7s %12s %7s\n", "best of 3 runs", "seconds", "x zip", "bytes", "x zip");
  const char* names[3] = {"ours, one ZpArchive per file", "ours, one ZpArchive for all",
                          "zip -q -r (default level)"};
  const std::string* archives[3] = {&per_file, &one_call, &by_zip};
  for (int i = 0; i < 3; ++i) {
    const double bytes = static_cast<double>(size_of(*archives[i]));
    std::printf("%-34s %8.2f %7.3f %12.0f %7.4f\n", names[i], best[i], best[i] / zip_s, bytes,
                bytes / zip_bytes);
  }

  // Peak memory: a 1 MiB and a 1 GiB generated file, each packed by a fresh process.
  const std::string small = (work / "small.txt").string(), big = (work / "big.txt").string();
  generate(small, 1u << 20);
  generate(big, 1u << 30);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string mem_zip = (work / "mem.zip").string();
  const long small_kib = child_peak_kib(self, small, mem_zip);
  const auto t = std::chrono::steady_clock::now();
  const long big_kib = child_peak_kib(self, big, mem_zip);
  const double big_s = seconds_since(t);
  std::printf(
      "\npeak memory packing 1 MiB: %.1f MiB, 1 GiB: %.1f MiB (difference %.1f MiB; "
      "1 GiB took %.1f s)\n",
      small_kib / 1024.0, big_kib / 1024.0, (big_kib - small_kib) / 1024.0, big_s);
  fs::remove_all(work);
  return small_kib < 0 || big_kib < 0 ? 1 : 0;
}
