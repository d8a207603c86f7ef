// Extracts one archive with our unzip library, then with the unzip command, and prints the
// time of each and this process's peak memory. Run once per archive (a fresh process each),
// so that the peak belongs to that archive: see run.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "unzip_engine.h"
#include "ziperrors.h"

namespace fs = std::filesystem;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: unzip32_bench ARCHIVE WORK_FOLDER\n");
    return 2;
  }
  const std::string archive = argv[1];
  const fs::path work = argv[2];
  fs::remove_all(work);

  pvx::unzip::Job job;
  job.options.overwrite = true;
  job.options.message_level = 0;
  job.archive_shown = archive;
  job.target = (work / "ours").string();
  pvx::unzip::Totals totals;
  auto start = std::chrono::steady_clock::now();
  const int code = pvx::unzip::run_file(archive, job, nullptr, &totals);
  const double ours = seconds_since(start);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  const std::string command =
      "unzip -qq -o '" + archive + "' -d '" + (work / "theirs").string() + "'";
  start = std::chrono::steady_clock::now();
  const int their_code = std::system(command.c_str());
  const double theirs = seconds_since(start);

  std::printf("%-28s %10llu bytes  ours %7.3f s (code %d, peak %5.1f MiB)  unzip %7.3f s%s\n",
              fs::path(archive).filename().string().c_str(),
              static_cast<unsigned long long>(totals.size), ours, code,
              static_cast<double>(usage.ru_maxrss) / 1024.0, theirs,
              their_code == 0 ? "" : " (unzip failed)");
  fs::remove_all(work);
  return code == PK_OK ? 0 : 1;
}
