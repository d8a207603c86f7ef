// Byte totals of zipped attachments and of their archives, kept across host sessions in the
// statistics file add-in folder + "parvex.log" and shown on the about window.
#pragma once

#include <string>

namespace parvex {

// Program-wide values (program_state); all 0 when the add-in loads.
struct StatisticsValues {
  double TotalNormalBytes = 0;    // attachment bytes before zipping
  double TotalZipBytes = 0;       // bytes of the archives written for them
  double PendingNormalBytes = 0;  // added by the zip action since the last fold
  double PendingZipBytes = 0;     // added by the zip action since the last fold
  bool loaded = false;            // the totals were read from the file in this run
  double synced_normal = 0;       // the file's totals when this run last read or wrote it
  double synced_zip = 0;
};

StatisticsValues& statistics();

// Where the totals are shown. The add-in's assembly hands in the about window's three labels;
// with none handed in, the totals are kept and stored but shown nowhere.
class StatisticsLabels {
 public:
  virtual ~StatisticsLabels() = default;
  // True when the labels already exist. Otherwise creates them and returns false: creating them
  // reads the statistics itself, so the caller's read must not run a second time.
  virtual bool open() = 0;
  virtual void show(std::string total_bytes, std::string total_zip, std::string saving) = 0;
};

// Not owned; it must outlive every later read and write. Null shows the totals nowhere.
void set_statistics_labels(StatisticsLabels* labels);

// add-in folder + separator + "parvex.log"
std::string statistics_path();

// Sets the totals to the file's values plus the pending bytes (creating a missing file with 1
// and 1), clears the pending bytes and updates the about window's labels.
void ReadStatistics();
// Folds the pending bytes into the totals, rewrites the file and updates the labels.
void WriteStatistics();

}  // namespace parvex
