#include "support/statistics.h"

#include <atomic>
#include <initializer_list>

#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "support/number_format.h"
#include "support/probes.h"
#include "support/text_file.h"
#include "support/work_lock.h"

namespace parvex {
namespace {

std::atomic<StatisticsLabels*> labels_in_use{nullptr};

// The totals are two short lines: a longer file is not ours, and reading it whole would hold the
// lock for seconds.
constexpr int64_t kStatisticsLimit = 4096;

// Writes beside the file and renames over it, so a crash never leaves a short file behind.
void replace_lines(const std::string& path, std::initializer_list<std::string> lines) {
  const std::string temp = path + ".tmp";
  try {
    // A leftover, or a link planted there, goes first: the new file is made afresh.
    if (fs::exists_no_follow(temp) && !fs::is_folder(temp)) fs::delete_file(temp);
    TextFile file(temp, OpenMode::Output);
    for (const auto& line : lines) file.print_line(line);
    file.close();
    fs::rename_replace(temp, path);
  } catch (...) {
    attempt([&] {
      if (FileExists(temp)) fs::delete_file(temp);
    });
    throw;
  }
}

void set_captions(const StatisticsValues& s) {
  StatisticsLabels* labels = labels_in_use.load();
  if (!labels) return;
  const NumberSeparators separators = services().number_separators();
  // With no bytes before zipping there is nothing to compare; show no saving instead of failing.
  const double saving = s.TotalNormalBytes == 0
                            ? 0
                            : (s.TotalNormalBytes - s.TotalZipBytes) / s.TotalNormalBytes * 100;
  // All texts first: a failure leaves the labels as they were.
  std::string total_bytes =
      format_grouped(s.TotalNormalBytes, separators) + " bytes (normal attachments)";
  std::string total_zip = format_grouped(s.TotalZipBytes, separators) + " bytes (using Parvex)";
  // Until the archives have saved something there is no saving to show, and "." is no number.
  std::string saving_digits = saving > 0 ? format_two_decimals(saving, separators) : "0";
  if (saving_digits == separators.decimal) saving_digits = "0";
  if (saving_digits.starts_with(separators.decimal)) saving_digits.insert(0, "0");
  std::string saving_text = "Saving: " + saving_digits + " % of bandwidth";

  labels->show(std::move(total_bytes), std::move(total_zip), std::move(saving_text));
}

struct Stored {
  double normal = 0;
  double zip = 0;
};

// The two totals of the file, creating a missing file with 1 and 1.
Stored read_stored(const std::string& path) {
  if (!FileExists(path)) replace_lines(path, {"1", "1"});
  Stored stored;
  TextFile file(path, OpenMode::Input);
  if (fs::file_length(path) > kStatisticsLimit) {
    raise(err::kPathFileAccess, "Path/File access error: " + path + " is too long");
  }
  // A zero byte is no text: what a crash leaves of a file, not a total of 0.
  const auto line = [&] {
    std::string text = file.line_input();
    if (text.find('\0') != std::string::npos) {
      raise(err::kPathFileAccess, "Path/File access error: " + path + " holds zero bytes");
    }
    return text;
  };
  // A line missing at the end (a file cut short) reads as 0, like a line without a number.
  if (!file.eof()) stored.normal = val(line());
  if (!file.eof()) stored.zip = val(line());
  file.close();
  return stored;
}

// Renames path to path + ".unreadable" (".unreadable.2", ... when that is taken); with all
// 100 names taken, over the oldest of those files, so that the add-in still connects.
void keep_aside(const std::string& path) {
  constexpr int kTries = 100;
  std::string oldest;
  int64_t oldest_time = 0;
  for (int n = 1; n <= kTries; ++n) {
    const std::string aside = path + ".unreadable" + (n == 1 ? "" : "." + std::to_string(n));
    if (!fs::exists_no_follow(aside)) {
      fs::rename_replace(path, aside);
      return;
    }
    if (fs::is_folder(aside) || fs::is_link(aside)) continue;
    attempt([&] {
      const int64_t time = fs::modified_ticks(aside);
      if (oldest.empty() || time < oldest_time) {
        oldest = aside;
        oldest_time = time;
      }
    });
  }
  if (oldest.empty()) {
    raise(err::kPathFileAccess, "Path/File access error: no free name beside " + path);
  }
  fs::rename_replace(path, oldest);
}

// The file's totals; a file that cannot be read or holds no finite number (a folder, a link,
// "1E400") is set aside and fresh totals are made, so the add-in always starts.
Stored read_or_renew(const std::string& path) {
  try {
    return read_stored(path);
  } catch (...) {
    if (!fs::exists_no_follow(path)) throw;
    keep_aside(path);
  }
  return read_stored(path);
}

}  // namespace

void set_statistics_labels(StatisticsLabels* labels) {
  labels_in_use.store(labels);
}

StatisticsValues& statistics() {
  return program_state<StatisticsValues>();
}

std::string statistics_path() {
  return services().addin_folder() + kPathSep + "parvex.log";
}

void ReadStatistics() {
  // Creating the about window reads the statistics (its load), and a read nested inside this
  // one would replace the totals set here: let the window's load do the reading.
  if (StatisticsLabels* labels = labels_in_use.load(); labels && !labels->open()) return;
  // Only a read (a missing file is made whole by a rename): it goes ahead without the lock
  // rather than keep the add-in from connecting.
  const WorkLock lock;
  const Stored stored = read_or_renew(statistics_path());
  auto& s = statistics();
  s.TotalNormalBytes = stored.normal + s.PendingNormalBytes;
  s.TotalZipBytes = stored.zip + s.PendingZipBytes;
  s.synced_normal = stored.normal;
  s.synced_zip = stored.zip;
  // Cleared before the labels, so a failing caption step cannot fold the same bytes twice.
  s.PendingNormalBytes = 0;
  s.PendingZipBytes = 0;
  s.loaded = true;
  set_captions(s);
}

void WriteStatistics() {
  auto& s = statistics();
  // Read, add and write under the lock, from the file as it is now: another process sharing
  // the add-in folder may have added its own bytes since this one read it.
  const WorkLock lock;
  lock.require();
  const std::string path = statistics_path();
  // Totals never read in this run would replace the stored history with this run's bytes; a
  // file deleted since it was read is rewritten with the totals held here.
  if (!s.loaded || fs::exists_no_follow(path)) {
    try {
      const Stored stored = read_stored(path);
      // What this run folded since it last read or wrote, on top of the file as it is now.
      s.TotalNormalBytes += stored.normal - (s.loaded ? s.synced_normal : 0);
      s.TotalZipBytes += stored.zip - (s.loaded ? s.synced_zip : 0);
    } catch (...) {
      // A file we cannot read must neither block this run's totals nor be overwritten by them.
      if (fs::exists_no_follow(path)) keep_aside(path);
    }
    s.loaded = true;
  }

  s.TotalNormalBytes += s.PendingNormalBytes;
  s.TotalZipBytes += s.PendingZipBytes;
  s.PendingNormalBytes = 0;
  s.PendingZipBytes = 0;
  replace_lines(path, {print_number(s.TotalNormalBytes), print_number(s.TotalZipBytes)});
  s.synced_normal = s.TotalNormalBytes;
  s.synced_zip = s.TotalZipBytes;
  set_captions(s);
}

}  // namespace parvex
