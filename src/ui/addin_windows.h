// The add-in's windows as the send and the statistics reach them: the about window's setting
// and labels, the manual zip window's file list, zip action and event log.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "compression/send_windows.h"
#include "support/statistics.h"

namespace parvex::ui {

// Holds nothing: every call reaches the calling thread's windows anew, creating them hidden
// when needed, since window events during the zip action may close them.
class AddinWindows final : public compression::SendWindows, public StatisticsLabels {
 public:
  bool enabled() override;
  void disable() override;
  std::vector<std::string> working_files(const std::string& folder) override;
  bool packing_on() override;
  std::unique_ptr<compression::PackingWatch> packing_watch(const std::string& subject,
                                                           std::uintptr_t owner) override;
  bool cancel_pressed() override;
  void send_ended() override;
  void log(const std::string& line) override;

  bool open() override;
  void show(std::string total_bytes, std::string total_zip, std::string saving) override;
};

// The one instance, alive as long as the program.
AddinWindows& addin_windows();

}  // namespace parvex::ui
