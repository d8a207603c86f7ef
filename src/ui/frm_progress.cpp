#include "ui/frm_progress.h"

#include <algorithm>
#include <utility>

#include "seams/services.h"

namespace parvex::ui {

frm_progress::frm_progress() {
  caption = "Parvex";
  client_width = 5400;
  client_height = 1860;

  lbl_subject.caption = "Packing the attachments of ";
  place(lbl_subject, "lbl_subject", 240, 180, 4920, 435, std::nullopt);
  place(lbl_file, "lbl_file", 240, 690, 4920, 255, std::nullopt);
  place(lbl_count, "lbl_count", 240, 990, 4920, 255, std::nullopt);
  bar.max = 1000;
  place(bar, "bar", 240, 1320, 3480, 300, std::nullopt);
  cmd_cancel.caption = "Cancel";
  place(cmd_cancel, "cmd_cancel", 3960, 1290, 1200, 375, 0);

  cmd_cancel.on_click = [this] { cmd_cancel_Click(); };
}

void frm_progress::begin(const std::string& subject, std::vector<std::string> names,
                         std::vector<uint64_t> sizes) {
  lbl_subject.caption = "Packing the attachments of " + subject;
  names_ = std::move(names);
  sizes_ = std::move(sizes);
  total_ = 0;
  for (const uint64_t size : sizes_) total_ += size;
  started_ms_ = services().monotonic_ms();
  cancelled = false;
  cmd_cancel.enabled = true;
  show_step(0, 0);
}

void frm_progress::show_step(size_t index, uint64_t done) {
  if (index >= sizes_.size()) return;
  uint64_t packed = std::min(done, sizes_[index]);
  for (size_t i = 0; i < index; ++i) packed += sizes_[i];
  lbl_file.caption = names_[index];
  lbl_count.caption = "file " + std::to_string(index + 1) + " of " + std::to_string(sizes_.size());
  // Empty files only: the bar goes by files then.
  bar.value = total_ == 0 ? static_cast<int32_t>((index + (done > 0)) * 1000 / sizes_.size())
                          : static_cast<int32_t>(static_cast<double>(packed) * 1000 / total_);
  if (!visible && services().monotonic_ms() - started_ms_ >= kShowAfterMs) Show();
}

void frm_progress::cmd_cancel_Click() {
  cancelled = true;
  cmd_cancel.enabled = false;
}

void frm_progress::Form_QueryUnload(int16_t& cancel, int16_t unload_mode) {
  cancel = 1;
  if (unload_mode == kCloseBox) cmd_cancel_Click();
}

bool packing_step(size_t index, uint64_t done, bool pump) {
  touch<frm_progress>().show_step(index, done);
  if (on_packing_step) on_packing_step();
  // Window events may close the window: it is looked up again afterwards.
  if (pump) pump_events();
  return exists<frm_progress>() && touch<frm_progress>().cancelled;
}

}  // namespace parvex::ui
