#include "compression/mail_send.h"

#include <optional>
#include <vector>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "codepage.h"
#include "compression/send_windows.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "platform/fs.h"
#include "platform/services.h"
#include "support/probes.h"
#include "support/statistics.h"
#include "support/time_stamp.h"

namespace parvex::compression {
using host::required;

namespace {

struct SendState {
  bool packing = false;
};

// The zip action lets window events run; a second send or zip started from one of them would
// work on the same folder and archive as the send in progress.
class PackingFlag {
 public:
  PackingFlag() { program_state<SendState>().packing = true; }
  ~PackingFlag() { program_state<SendState>().packing = false; }
  PackingFlag(const PackingFlag&) = delete;
  PackingFlag& operator=(const PackingFlag&) = delete;
};

// Lower case for the letters a file system folds: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic. Enough to keep two saved names from naming one file on Windows.
std::string fold_case(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    char32_t c = pvx::next_utf8(utf8, i);
    if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
      c += 0x20;
    } else if (c >= 0x400 && c <= 0x40F) {
      c += 0x50;
    } else if (c >= 0x100 && c <= 0x17F && c % 2 == 0 && c != 0x130 && c != 0x138) {
      c += 1;
    }
    pvx::append_utf8(out, c);
  }
  return out;
}

bool reserved_device_name(const std::string& name) {
  std::string stem = fold_case(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// A bare name the working folder can hold: no folder part, no character Windows refuses, no
// device name, no trailing dot or blank, and nothing the ANSI code page cannot carry.
std::string safe_name(const std::string& file_name) {
  std::string name = file_name;
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  // Unmappable characters become '?', which the next pass turns into '_'.
  name = fs::from_ansi(fs::to_ansi(name));
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) c = '_';
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return "attachment";
  if (reserved_device_name(name)) name = "_" + name;
  return name;
}

struct SavedAttachment {
  std::string path;           // the copy in the working folder
  std::string original_name;  // the attachment's file name on the item
};

// One send: what was saved and how far the swap on the item got, for the error handler.
struct SendRun {
  host::Ref<host::Item> item;
  std::vector<SavedAttachment> saved;
  int32_t count_before_removal = 0;
  int32_t removed = 0;
  bool archive_attached = false;
};

void log_line(const std::string& line) {
  send_windows().log(line);
}

void log_event(const std::string& text) {
  log_line(time_stamp() + " - " + text);
}

// Entries of the archive file, as the unzip library lists them.
int32_t archive_entry_count() {
  UnzipFiles list;
  list.ExtractList(1);
  const int32_t result = list.Unzip(archive_file(), working_folder());
  if (result != 0) raise(err::kPathFileAccess, "The archive could not be read back");
  return static_cast<int32_t>(CodeModule::state().ListEntries.size());
}

void send_steps(SendRun& run) {
  SendWindows& windows = send_windows();
  if (!windows.enabled()) return;

  const std::string folder = working_folder();
  const std::string prefix = folder + kPathSep;
  if (!FolderExists(folder)) fs::make_folder(folder);

  for (const std::string& entry : windows.working_files(folder)) {
    log_line(time_stamp() + " " + "Deleting.." + entry);
    fs::delete_file(prefix + entry);
  }
  // The zip action adds to an existing archive: a leftover would carry another message's files.
  if (FileExists(archive_file())) {
    log_line(time_stamp() + " " + "Deleting.." + "Attachments.zip");
    fs::delete_file(archive_file());
  }

  // Hold each reference the host hands out: a host object may live only as long as its holder.
  const host::Ref<host::Attachments> attachments_ref = required(run.item).GetAttachments();
  host::Attachments& attachments = required(attachments_ref);
  const int32_t n = attachments.Count();
  if (n > 32767) raise(err::kOverflow, "Overflow");
  if (n > 0) WriteReadme();

  std::set<std::string> taken;
  for (int32_t i = 1; i <= n; ++i) {
    const host::Ref<host::Attachment> attachment_ref = attachments.GetItem(i);
    host::Attachment& attachment = required(attachment_ref);
    const std::string name = attachment.FileName();
    const std::string path = prefix + saved_name(name, taken);
    attachment.SaveAsFile(path);
    run.saved.push_back({path, name});
    log_line(time_stamp() + " - " + name + " files saved");
  }

  windows.zip();
  // Nothing is removed from the item unless the archive holds every saved file and the readme.
  if (n > 0 && archive_entry_count() != n + (taken.contains("readme.txt") ? 0 : 1)) {
    raise(err::kPathFileAccess, "The archive does not hold every attachment");
  }

  int32_t c = attachments.Count();
  run.count_before_removal = c;
  // An attachment added while the files were packed would be removed without being packed.
  if (c != n) raise(err::kInvalidCall, "The attachments changed while they were being packed");
  while (c > 0) {
    required(attachments.GetItem(1)).Delete();
    ++run.removed;
    c = attachments.Count();
  }
  if (run.count_before_removal < 1) return;

  attachments.Add(archive_file(), std::nullopt, std::nullopt, "DD");
  run.archive_attached = true;

  windows.working_files(folder);  // the file list refreshes before the archive goes, and after
  fs::delete_file(archive_file());
  for (const std::string& entry : windows.working_files(folder)) fs::delete_file(prefix + entry);
}

// Puts back, from their saved copies, the attachments removed before the archive was attached.
// Returns false when any of them could not be put back.
bool put_back(SendRun& run) {
  if (run.removed == 0 || run.archive_attached) return true;
  host::Ref<host::Attachments> attachments;
  attempt([&] { attachments = run.item->GetAttachments(); });
  // The host's own count is the better witness when a Delete failed after removing.
  attempt([&] { run.removed = run.count_before_removal - required(attachments).Count(); });
  bool all = true;
  for (int32_t i = 0; i < run.removed && i < static_cast<int32_t>(run.saved.size()); ++i) {
    const SavedAttachment& s = run.saved[static_cast<size_t>(i)];
    try {
      required(attachments).Add(s.path, std::nullopt, std::nullopt, s.original_name);
    } catch (...) {
      all = false;
      attempt([&] {
        log_line(time_stamp() + " - " + s.original_name +
                 " could not be put back: " + current_failure().description());
      });
    }
  }
  return all;
}

}  // namespace

std::string working_folder() {
  return services().addin_folder() + kPathSep + "Attachments";
}

std::string archive_file() {
  return services().addin_folder() + kPathSep + "Attachments.zip";
}

bool send_in_progress() {
  return program_state<SendState>().packing;
}

std::string saved_name(const std::string& file_name, std::set<std::string>& taken) {
  const std::string name = safe_name(file_name);
  std::string candidate = name;
  const auto dot = name.find_last_of('.');
  const bool has_ext = dot != std::string::npos && dot > 0;
  const std::string stem = has_ext ? name.substr(0, dot) : name;
  const std::string ext = has_ext ? name.substr(dot) : "";
  for (int k = 2; taken.contains(fold_case(candidate)); ++k) {
    candidate = stem + " (" + std::to_string(k) + ")" + ext;
  }
  taken.insert(fold_case(candidate));
  return candidate;
}

void send_item(const host::Ref<host::Item>& item, bool& Cancel) {
  if (send_in_progress()) {
    log_event("Send refused while another message is being packed; it leaves unchanged");
    return;
  }
  PackingFlag flag;
  SendRun run;
  run.item = item;
  report_failure([&] { send_steps(run); },
                 [&](const Failure& failure) {
                   // Before anything that can fail: the item must not leave short of files.
                   if (!put_back(run)) Cancel = true;
                   log_line(time_stamp() + "Eroare Mailsend " + failure.description() + "   " +
                            std::to_string(CodeModule::state().SystemError));
                   send_windows().disable();
                   WriteStatistics();
                 });
}

void read_item(host::Item& item) {
  log_event("objMailItem_Read");
  log_event("# attachmen = " + std::to_string(required(item.GetAttachments()).Count()));
}

}  // namespace parvex::compression
