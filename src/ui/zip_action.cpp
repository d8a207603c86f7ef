// The zip action of the manual zip window, also run by the send path.
#include <string>
#include <vector>

#include "archive/zip_files.h"
#include "compression/mail_send.h"
#include "platform/fs.h"
#include "platform/services.h"
#include "support/statistics.h"
#include "support/work_lock.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"

namespace parvex::ui {

void frm_outlook::cmd_ZIP_Click() {
  const WorkLock lock;
  lock.require();
  pack_working_folder(true);
  WriteStatistics();
}

compression::PackedBytes frm_outlook::pack_working_folder(bool count) {
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
    for (const std::string& name : names) {
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
      const int32_t r = zip.MakeZipFile();
      touch<frm_outlook>().list_log.AddItem("Add " + name + " return " + std::to_string(r));
    }
    auto& window = touch<frm_outlook>();
    window.list_log.AddItem("Zipped successfully...in " + window.txt_zipname.text);
    packed.archive = static_cast<double>(fs::file_length(archive));
    if (count) statistics().PendingZipBytes += packed.archive;
  }
  return packed;
}

}  // namespace parvex::ui
