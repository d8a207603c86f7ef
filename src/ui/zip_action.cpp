// The zip action of the manual zip window, also run by the send path.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/code_module.h"
#include "archive/zip_files.h"
#include "compression/mail_send.h"
#include "core/failure.h"
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
  pack_working_folder(true);
  WriteStatistics();
}

namespace {

// The user pressed Cancel in the progress window: the packing stops here.
void stop_if_cancelled(bool cancelled) {
  if (cancelled) raise(compression::kSendCancelled, "The send was cancelled");
}

}  // namespace

compression::PackedBytes frm_outlook::pack_working_folder(bool count, const std::string* subject) {
  // One spelling for each place, the one the send path writes.
  const std::string folder = services().addin_folder() + kPathSep + "Attachments";
  const std::string prefix = folder + kPathSep;
  const std::string archive = services().addin_folder() + kPathSep + "Attachments.zip";

  File1.set_path(folder);
  // The zip library lets window events run while it works, and one of them may close this
  // window: from here on its members are reached through touch(), never through this.
  const std::vector<std::string> names = File1.items;
  const int16_t enabled = touch<frm_about>().parvex_chk.value;
  compression::PackedBytes packed;

  if (!names.empty() && enabled == 1) {
    // One set of worker threads for every run below, joined on the way out, whichever it is.
    const CodeModule::ZipPool pool;
    if (subject) {
      std::vector<uint64_t> sizes;
      for (const std::string& name : names) {
        int64_t size = 0;
        attempt([&] { size = fs::file_length(prefix + name); });
        sizes.push_back(static_cast<uint64_t>(size));
      }
      touch<frm_progress>().begin(*subject, names, sizes);
    }
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string& name = names[i];
      if (subject) stop_if_cancelled(packing_step(i, 0));
      ZipFiles zip;
      const auto length = static_cast<double>(fs::file_length(prefix + name));
      packed.files += length;
      if (count) statistics().PendingNormalBytes += length;
      zip.ZipFileName(archive);
      zip.UpdatingZip(false);
      zip.addfile(prefix + name);
      zip.IncludeSystemFiles(false);
      // The readme stays readable, so that a recipient sees what a protected archive is.
      zip.Encrypted(!fs::same_name(name, compression::kReadme));
      // Between the blocks of a large file too; the library lets window events run after each
      // call, and a Cancel there stops the run with the archive as it was.
      if (subject) {
        zip.Progress([i](const std::string&, uint64_t done, uint64_t) {
          return packing_step(i, done, false);
        });
      }
      const int32_t r = zip.MakeZipFile();
      if (subject && exists<frm_progress>()) stop_if_cancelled(touch<frm_progress>().cancelled);
      touch<frm_outlook>().list_log.AddItem("Add " + name + " return " + std::to_string(r));
      if (subject) stop_if_cancelled(packing_step(i, static_cast<uint64_t>(length)));
    }
    auto& window = touch<frm_outlook>();
    window.list_log.AddItem("Zipped successfully...in " + window.txt_zipname.text);
    packed.archive = static_cast<double>(fs::file_length(archive));
    if (count) statistics().PendingZipBytes += packed.archive;
  }
  return packed;
}

}  // namespace parvex::ui
