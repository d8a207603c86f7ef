// The zip action of the manual zip window; the send packs with its log lines and progress too.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compression/packing.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "support/statistics.h"
#include "support/work_lock.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"

namespace parvex::ui {

void frm_outlook::cmd_ZIP_Click() {
  const WorkLock lock;
  lock.require();
  pack_working_folder();
  WriteStatistics();
}

namespace {

// The zip action's log lines and counting; with a send's subject, its progress window too. The
// zip library lets window events run, and one of them may close a window: each is reached anew
// through touch().
class WindowWatch final : public compression::PackingWatch {
 public:
  WindowWatch(bool count, std::optional<std::string> subject, std::uintptr_t owner)
      : count_(count), subject_(std::move(subject)), owner_(owner) {}

  bool shows_progress() const override { return subject_.has_value(); }
  void begin(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes) override {
    auto& progress = touch<frm_progress>();
    progress.owner = owner_;
    progress.begin(*subject_, names, sizes);
  }
  bool step(size_t index, uint64_t done, bool pump) override {
    return packing_step(index, done, pump);
  }
  bool cancelled() override {
    return subject_ && exists<frm_progress>() && touch<frm_progress>().cancelled;
  }
  void measured(double length) override {
    if (count_) statistics().PendingNormalBytes += length;
  }
  void packed(const std::string& name, int32_t result) override {
    touch<frm_outlook>().list_log.AddItem("Add " + name + " return " + std::to_string(result));
  }
  void finished(double archive_length) override {
    auto& window = touch<frm_outlook>();
    window.list_log.AddItem("Zipped successfully...in " + window.txt_zipname.text);
    if (count_) statistics().PendingZipBytes += archive_length;
  }

 private:
  bool count_;
  std::optional<std::string> subject_;
  std::uintptr_t owner_;
};

}  // namespace

std::unique_ptr<compression::PackingWatch> zip_action_watch(bool count,
                                                            std::optional<std::string> subject,
                                                            std::uintptr_t owner) {
  return std::make_unique<WindowWatch>(count, std::move(subject), owner);
}

void frm_outlook::pack_working_folder() {
  // One spelling for each place, the one the send path writes.
  const std::string folder = services().addin_folder() + kPathSep + "Attachments";
  const std::string archive = services().addin_folder() + kPathSep + "Attachments.zip";

  File1.set_path(folder);
  // From here on this window's members are reached through touch(), never through this.
  const compression::PackJob job{folder, File1.items, archive};
  const int16_t enabled = touch<frm_about>().parvex_chk.value;
  if (enabled != 1) return;
  compression::pack_files(job, *zip_action_watch(true));
}

}  // namespace parvex::ui
