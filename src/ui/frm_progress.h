// The window "Parvex" that a long send shows while it packs: the message's subject, the file
// being packed, "file i of n", a bar by bytes, and Cancel. It stays hidden until packing has
// run for kShowAfterMs, so a short send shows nothing, and goes when the send ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/controls.h"
#include "ui/window.h"

namespace parvex::ui {

inline constexpr int64_t kShowAfterMs = 500;

class frm_progress : public Window {
 public:
  frm_progress();

  Label lbl_subject;  // "Packing the attachments of " and the subject
  Label lbl_file;     // the file being packed
  Label lbl_count;    // "file i of n"
  ProgressBar bar;    // bytes packed of all the files'
  CommandButton cmd_cancel;

  // Cancel was pressed: the send stops at its next step and keeps the message as it was.
  bool cancelled = false;

  // A new packing run over files of these names and sizes, timed from now.
  void begin(const std::string& subject, std::vector<std::string> names,
             std::vector<uint64_t> sizes);
  // File index (from 0) has done bytes packed: the controls follow, and the window shows once
  // packing has run long enough.
  void show_step(size_t index, uint64_t done);
  void cmd_cancel_Click();
  // The close box and Esc are a Cancel; the window itself stays until the send ends.
  void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) override;

 private:
  std::vector<std::string> names_;
  std::vector<uint64_t> sizes_;
  uint64_t total_ = 0;
  int64_t started_ms_ = 0;
};

// Called on this thread at each packing step, before window events run: parvex-sim counts the
// steps and draws them on its terminal.
inline thread_local void (*on_packing_step)() = nullptr;

// One step of the packing shown in frm_progress (which must exist): updates it, lets window
// events run (kPumpEveryMs apart at most) unless the caller does, and says whether the user
// cancelled. The window may be gone afterwards: a closed one counts as not cancelled.
bool packing_step(size_t index, uint64_t done, bool pump = true);

}  // namespace parvex::ui
