#include "compression/mail_send.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>
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
#include "support/options.h"
#include "support/policies.h"
#include "support/probes.h"
#include "support/statistics.h"
#include "support/time_stamp.h"
#include "support/work_lock.h"
#include "zip_aes.h"

namespace parvex::compression {
using CodeModule::wipe;
using host::required;

namespace {

struct SendState {
  bool packing = false;
  std::vector<std::function<void()>> after;  // work put off until the send returns
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

bool reserved_device_name(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  for (char& c : stem) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
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

// What a file held right after it was saved: the archive must hold exactly these bytes.
struct Fingerprint {
  std::string name;  // bare name in the working folder
  int64_t size = 0;
  uint32_t crc = 0;
};

struct SavedAttachment {
  std::string path;           // the copy in the working folder
  std::string original_name;  // the attachment's file name on the item
  Fingerprint saved;
};

// One send: what was saved and how far the swap on the item got, for the error handler.
struct SendRun {
  host::Ref<host::Item> item;
  std::optional<WorkLock> lock;  // held from the first file step to the end of the handler
  std::vector<SavedAttachment> saved;
  int32_t count_before_removal = 0;
  int32_t removed = 0;
  bool archive_attached = false;
  // The user gave a password: the attachments leave protected or not at all.
  bool protect = false;
  bool cancel = false;  // the send must not go on; the item keeps its attachments
};

void log_line(const std::string& line) {
  send_windows().log(line);
}

void log_event(const std::string& text) {
  log_line(time_stamp() + " - " + text);
}

std::string base_name(const std::string& path) {
  const auto sep = path.find_last_of(kPathSep);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

Fingerprint fingerprint(const std::string& path) {
  fs::File in(path, "rb", fs::Links::refuse);
  Fingerprint f{base_name(path), 0, static_cast<uint32_t>(crc32(0, nullptr, 0))};
  std::vector<unsigned char> buf(1 << 16);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), in.get())) > 0) {
    f.crc = static_cast<uint32_t>(crc32(f.crc, buf.data(), static_cast<uInt>(n)));
    f.size += static_cast<int64_t>(n);
  }
  if (std::ferror(in.get())) raise(err::kPathFileAccess, "Path/File access error: " + path);
  return f;
}

// Nothing leaves the item unless the archive holds every saved file byte for byte, and the
// readme unless an attachment took its name, and nothing else: a file that changed while it
// was packed, or one that is not this message's, keeps the attachments where they are. A
// protected archive must hold every attachment encrypted; entries too small to carry a CRC are
// test-opened with the password instead.
void check_archive(const std::vector<SavedAttachment>& saved, const Fingerprint& readme,
                   bool protect) {
  UnzipFiles list;
  list.ExtractList(1);
  if (list.Unzip(archive_file(), working_folder()) != 0) {
    raise(err::kPathFileAccess, "The archive could not be read back");
  }
  const auto& entries = CodeModule::state().ListEntries;
  // An encrypted entry under 20 bytes records no CRC (AE-2): the test run below checks it.
  const auto no_crc = [protect](const CodeModule::ModuleState::ListedEntry& e) {
    return protect && e.encrypted && e.size < pvx::kAesAe1MinSize && e.crc == 0;
  };
  auto same = [&](const CodeModule::ModuleState::ListedEntry& e, const Fingerprint& f) {
    return fs::same_name(e.name, f.name) && static_cast<int64_t>(e.size) == f.size &&
           (e.crc == f.crc || no_crc(e));
  };
  auto held = [&](const Fingerprint& f) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return same(e, f); });
  };
  for (const SavedAttachment& s : saved) {
    if (!held(s.saved)) raise(err::kPathFileAccess, "The archive does not hold " + s.original_name);
  }
  if (protect) {
    for (const auto& e : entries) {
      if (!e.encrypted && !fs::same_name(e.name, kReadme)) {
        raise(err::kPathFileAccess, "The archive holds " + e.name + " unprotected");
      }
    }
  }
  const bool readme_taken = std::any_of(saved.begin(), saved.end(), [](const auto& s) {
    return fs::same_name(s.saved.name, kReadme);
  });
  if (!readme_taken && !held(readme)) raise(err::kPathFileAccess, "The archive lacks the readme");
  for (const auto& e : entries) {
    const bool ours =
        same(e, readme) ||
        std::any_of(saved.begin(), saved.end(), [&](const auto& s) { return same(e, s.saved); });
    if (!ours) raise(err::kPathFileAccess, "The archive holds a file of no attachment: " + e.name);
  }
  if (std::any_of(entries.begin(), entries.end(), no_crc)) {
    // Such entries decrypted and checked, nothing written. Last: this run replaces the listing.
    UnzipFiles test;
    test.TestZip(true);
    if (test.Unzip(archive_file(), working_folder()) != 0) {
      raise(err::kPathFileAccess, "The protected archive could not be read back");
    }
  }
}

// "12.5": a saving in percent as the log shows it.
std::string percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The user's password for this send, when the options ask for one: empty when the user gave
// none (the archive goes unprotected). Sets run.cancel for one the libraries cannot take.
std::string ask_password(SendRun& run) {
  const std::string subject = required(run.item).Subject();
  std::string answer =
      services().password_box("Password for the attachments of " + subject, "Parvex");
  bool exact = true;
  std::string ansi = fs::to_ansi(answer, &exact);
  wipe(answer);
  if (ansi.empty()) return ansi;
  if (!exact || ansi.size() > CodeModule::kMaxPassword) {
    wipe(ansi);
    run.cancel = true;
    attempt([] {
      services().message_box(
          "The password can hold at most 255 characters, each of the system's code page. The "
          "message was not sent; send it again to choose another password.",
          MsgButtons::Ok, MsgIcon::Warning, "Parvex");
    });
    log_event("Send cancelled: the password cannot be used");
  }
  return ansi;
}

void tell_not_protected() {
  attempt([] {
    services().message_box(
        "The attachments could not be protected with the password, so the message was not sent.",
        MsgButtons::Ok, MsgIcon::Warning, "Parvex");
  });
}

// An item the send cannot pack leaves as it is, unless the user gave a password for it.
void leave_unchanged(SendRun& run, const std::string& why) {
  if (!run.protect) {
    log_event("Send left unchanged: " + why);
    return;
  }
  run.cancel = true;
  log_event("Send cancelled: " + why);
  tell_not_protected();
}

// The archive and the saved copies go; the file list refreshes before the archive goes, and
// after.
void clear_work(SendWindows& windows, const std::string& folder) {
  windows.working_files(folder);
  fs::delete_file(archive_file());
  for (const std::string& entry : windows.working_files(folder)) {
    fs::delete_file(folder + kPathSep + entry);
  }
}

void send_steps(SendRun& run) {
  SendWindows& windows = send_windows();
  if (!windows.enabled()) return;

  std::string problem;
  std::vector<std::string> policy_problems;
  const Policies fixed = read_policies(&policy_problems);
  for (const std::string& line : policy_problems) log_event(line);
  const Options options = fixed.over(read_options(&problem));
  if (!problem.empty()) log_event("Options left at their defaults: " + problem);
  std::optional<CodeModule::HeldPassword> password;
  if (options.ask_password) {
    // Until the user has answered, a failure must not let the item leave unprotected: only an
    // empty answer, or no attachment to protect, lets it go as it is.
    run.protect = true;
    std::string given;
    if (required(required(run.item).GetAttachments()).Count() > 0) given = ask_password(run);
    if (run.cancel) return;
    run.protect = !given.empty();
    if (run.protect) password.emplace(given);
    wipe(given);
  }

  // Another process sharing the add-in folder works on the same files: wait for it a little,
  // then let this item go as it is.
  run.lock.emplace();
  if (!run.lock->held()) {
    leave_unchanged(run, "the add-in folder is in use by another program");
    return;
  }

  const std::string folder = working_folder();
  const std::string prefix = folder + kPathSep;
  // Emptying a folder reached through a link would delete files elsewhere.
  if (fs::is_link(folder)) {
    leave_unchanged(run, "the working folder is a link: " + folder);
    return;
  }
  fs::ensure_folder(folder);

  for (const std::string& entry : windows.working_files(folder)) {
    log_line(time_stamp() + " " + "Deleting.." + entry);
    fs::delete_file(prefix + entry);
  }
  // The zip action adds to an existing archive: a leftover would carry another message's files.
  // A link there is removed itself, never followed.
  if (fs::exists_no_follow(archive_file())) {
    log_line(time_stamp() + " " + "Deleting.." + "Attachments.zip");
    fs::delete_file(archive_file());
  }

  // Hold each reference the host hands out: a host object may live only as long as its holder.
  const host::Ref<host::Attachments> attachments_ref = required(run.item).GetAttachments();
  host::Attachments& attachments = required(attachments_ref);
  const int32_t n = attachments.Count();
  if (n > 32767) raise(err::kOverflow, "Overflow");
  Fingerprint readme;
  if (n > 0) {
    WriteReadme(fixed.readme_text.value_or(""));
    readme = fingerprint(prefix + kReadme);
  }

  // What the emptying left (folders, links) is never saved over: the host would follow a link.
  std::set<std::string> taken;
  for (const std::string& entry : fs::list_entries(folder)) {
    if (!fs::same_name(entry, kReadme)) taken.insert(entry);
  }
  // The readme is packed unencrypted: no attachment may go under its name.
  if (run.protect) taken.insert(kReadme);
  for (int32_t i = 1; i <= n; ++i) {
    const host::Ref<host::Attachment> attachment_ref = attachments.GetItem(i);
    host::Attachment& attachment = required(attachment_ref);
    const std::string name = attachment.FileName();
    const std::string path = prefix + saved_name(name, taken);
    attachment.SaveAsFile(path);
    run.saved.push_back({path, name, fingerprint(path)});
    log_line(time_stamp() + " - " + name + " files saved");
  }

  const PackedBytes packed = windows.zip();
  if (n > 0) check_archive(run.saved, readme, run.protect);

  // A protected item never leaves as it is: that would drop the protection the user asked for.
  if (options.min_saving > 0 && n > 0 && !run.protect) {
    double attached = 0;
    for (const SavedAttachment& s : run.saved) attached += static_cast<double>(s.saved.size);
    const double saving = attached > 0 ? (attached - packed.archive) / attached * 100 : 0;
    if (saving < options.min_saving) {
      log_event("Send left with its attachments: the archive saves " + percent(saving) +
                " %, less than the " + std::to_string(options.min_saving) + " % asked");
      // Sent as they are: no saving to claim.
      statistics().PendingNormalBytes += attached;
      statistics().PendingZipBytes += attached;
      clear_work(windows, folder);
      WriteStatistics();
      return;
    }
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
  // Only now did the archive replace the files: the error handler writes these if need be.
  statistics().PendingNormalBytes += packed.files;
  statistics().PendingZipBytes += packed.archive;

  clear_work(windows, folder);
  WriteStatistics();
}

// add-in folder + separator + "Unsent attachments": copies that could not be put back on
// their item. No send empties it; the user takes them from there.
std::string unsent_folder() {
  return services().addin_folder() + kPathSep + "Unsent attachments";
}

// Moves a copy into the unsent folder at once, so that its name is free for the next one put
// back. Returns where the copy is now: where it was when it cannot be moved.
std::string keep_unsent(const SavedAttachment& s) {
  std::string where = s.path;
  attempt([&] {
    const std::string folder = unsent_folder();
    if (fs::is_link(folder)) return;
    fs::ensure_folder(folder);
    std::set<std::string> taken;
    for (const std::string& entry : fs::list_entries(folder)) taken.insert(entry);
    const std::string target = folder + kPathSep + saved_name(s.original_name, taken);
    fs::rename_replace(s.path, target);
    where = target;
  });
  attempt([&] { log_event(s.original_name + " kept in " + where); });
  return where;
}

// Tells the user which files the item lacks and where their bytes are.
void tell_unsent(const std::vector<std::pair<std::string, std::string>>& kept) {
  std::string text =
      "These attachments could not be put back on the message, which was not sent:\n";
  for (const auto& [name, where] : kept) text += "\n" + name + "\n    " + where;
  text += "\n\nAttach them again from there before you send the message.";
  services().message_box(text, MsgButtons::Ok, MsgIcon::Warning, "Parvex");
}

// The saved copy under the attachment's own file name where the working folder allows it, so
// that the item gets back the name it had; else the copy as saved.
std::string under_original_name(const SavedAttachment& s) {
  const std::string prefix = working_folder() + kPathSep;
  const std::string wanted = s.original_name;
  if (base_name(s.path) == wanted || safe_name(wanted) != wanted) return s.path;
  if (fs::exists_no_follow(prefix + wanted)) return s.path;
  fs::rename_replace(s.path, prefix + wanted);
  return prefix + wanted;
}

// Puts back, from their saved copies, the attachments removed before the archive was attached,
// in their places and under their own names. Returns false when any of them could not be.
bool put_back(SendRun& run) {
  if (run.removed == 0 || run.archive_attached) return true;
  host::Ref<host::Attachments> attachments;
  attempt([&] { attachments = run.item->GetAttachments(); });
  // The host's own count is the better witness when a Delete failed after removing.
  attempt([&] { run.removed = run.count_before_removal - required(attachments).Count(); });
  std::vector<std::pair<std::string, std::string>> kept;  // name, where its copy is
  for (int32_t i = 0; i < run.removed && i < static_cast<int32_t>(run.saved.size()); ++i) {
    SavedAttachment& s = run.saved[static_cast<size_t>(i)];
    attempt([&] { s.path = under_original_name(s); });
    try {
      // The removed ones were the first: each goes back to the place it had. The host takes the
      // position only in rich-text mail (a place in the body, never 0, which would hide it).
      required(attachments).Add(s.path, std::nullopt, i + 1, s.original_name);
      attempt([&] { fs::delete_file(s.path); });
    } catch (...) {
      attempt([&] {
        log_line(time_stamp() + " - " + s.original_name +
                 " could not be put back: " + current_failure().description());
      });
      kept.emplace_back(s.original_name, keep_unsent(s));
    }
  }
  if (!kept.empty()) attempt([&] { tell_unsent(kept); });
  return kept.empty();
}

void run_after_send() {
  auto& state = program_state<SendState>();
  if (state.packing) return;
  // Moved out first: the work may reset the program state that holds it.
  std::vector<std::function<void()>> work = std::move(state.after);
  state.after.clear();
  for (auto& fn : work) attempt(fn);
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
  auto is_taken = [&](const std::string& c) {
    return std::any_of(taken.begin(), taken.end(),
                       [&](const std::string& t) { return fs::same_name(t, c); });
  };
  for (int k = 2; is_taken(candidate); ++k) {
    candidate = stem + " (" + std::to_string(k) + ")" + ext;
  }
  taken.insert(candidate);
  return candidate;
}

void after_send(std::function<void()> work) {
  program_state<SendState>().after.push_back(std::move(work));
  run_after_send();
}

void send_item(host::Ref<host::Item> item, bool& Cancel) {
  if (send_in_progress()) {
    log_event("Send refused while another message is being packed; it leaves unchanged");
    return;
  }
  // Runs what was put off (a disconnection while packing) once the flag below is down.
  struct AfterSend {
    AfterSend() = default;
    AfterSend(const AfterSend&) = delete;
    AfterSend& operator=(const AfterSend&) = delete;
    ~AfterSend() { run_after_send(); }
  } after;
  PackingFlag flag;
  SendRun run;
  run.item = std::move(item);
  report_failure([&] { send_steps(run); },
                 [&](const Failure& failure) {
                   // Before anything that can fail: the item must not leave short of files,
                   // nor unprotected when the user gave a password.
                   if (!put_back(run)) Cancel = true;
                   if (run.protect && !run.archive_attached) {
                     Cancel = true;
                     tell_not_protected();
                   }
                   log_line(time_stamp() + "Eroare Mailsend " + failure.description() + "   " +
                            std::to_string(CodeModule::state().SystemError));
                   send_windows().disable();
                   // Without the lock nothing was counted, and another process owns the file.
                   if (run.lock && run.lock->held()) WriteStatistics();
                 });
  if (run.cancel) Cancel = true;
}

void read_item(host::Item& item) {
  log_event("objMailItem_Read");
  log_event("# attachmen = " + std::to_string(required(item.GetAttachments()).Count()));
}

}  // namespace parvex::compression
