// The window "Outlook settings": its list is the add-in's event log; its zip action packs the
// working folder into the archive file. Only the log lies inside the client area: the zip
// button, the file list and the text boxes sit below it, working but never seen.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "compression/send_windows.h"
#include "support/time_stamp.h"
#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

class frm_outlook : public Window {
 public:
  frm_outlook();

  ListBox lst_files;  // unused; under list_log
  CommandButton cmd_ZIP;
  // Its text ends the zip action's closing log line; the archive's name does not follow it.
  TextBox txt_zipname;
  TextBox Text1;  // unused
  // Lists the working folder for the zip action and the send path.
  FileListBox File1;
  // The event log; saved to the log file and cleared when it is full.
  ListBox list_log;
  Label Label1;
  Label Label2;

  // The zip action: packs the working folder under the add-in folder's lock, adds the bytes to
  // the pending statistics and writes them. Handles no failure: the first reaches the caller.
  void cmd_ZIP_Click();
  // Packs every file of the working folder into the archive file, one builder run per file,
  // logs each run and adds the bytes to the pending statistics.
  void pack_working_folder();
  // Hides the window; the close goes on and destroys it with its log.
  void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) override;
};

// The zip action's log lines ("Add ... return ..." and the closing line); with count, the
// packed bytes added to the pending statistics; with a subject (a send's), frm_progress shows
// how far the packing got, owned by the native window owner (0: none of the host's), and its
// Cancel stops it with compression::kSendCancelled.
std::unique_ptr<compression::PackingWatch> zip_action_watch(
    bool count, std::optional<std::string> subject = std::nullopt, std::uintptr_t owner = 0);

}  // namespace parvex::ui

namespace parvex {

// Appends time stamp + " - " + text to the event log, creating its window hidden if needed.
void LogEvent(const std::string& text);
// A line as the event log keeps it: each control character (a CR or LF in a setting's value
// above all) written as \xHH, so that one line never reads as two entries.
std::string log_line_text(const std::string& line);

}  // namespace parvex
