#include "compression/mail_send.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "archive/code_module.h"
#include "codepage.h"
#include "compression/attachment_kinds.h"
#include "compression/send_windows.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "support/options.h"
#include "support/policies.h"
#include "support/probes.h"
#include "support/statistics.h"
#include "support/time_stamp.h"
#include "support/work_lock.h"
#include "wipe.h"

namespace parvex::compression {
using host::required;
using pvx::wipe;

namespace {

// Raised when the user changed the item's attachments while they were packed: that send is
// cancelled, as a Cancel would, and packing stays on.
constexpr int32_t kAttachmentsChanged = 17;  // "Can't perform requested operation"

struct SendState {
  bool packing = false;
  // A failed unprotected send switched packing off: it stays off for unprotected mail only.
  bool failed_off = false;
  std::vector<std::function<void()>> after;  // work put off until the send returns
  std::function<void()> listener;            // told when each send event returns
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
// device name, no trailing dot or blank. Every other character stays as the sender wrote it:
// the copies are saved and packed under UTF-8 names, whatever the ANSI code page.
std::string safe_name(const std::string& file_name) {
  std::string name;
  // A byte that begins no UTF-8 character could name no file: it becomes '_'.
  for (size_t i = 0; i < file_name.size();) {
    const size_t start = i;
    if (pvx::decode_utf8(file_name, i)) {
      name.append(file_name, start, i - start);
    } else {
      name += '_';
    }
  }
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
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
  Fingerprint saved;
  ListedAttachment listed;  // removed through its reference; its place, signature and position
  bool deleted = false;     // its removal returned
};

// One send: what was saved and how far the swap on the item got, for the error handler.
struct SendRun {
  host::Ref<host::Item> item;
  host::Ref<host::Window> window;        // the one showing the item, or null
  std::optional<WorkLock> lock;          // held from the first file step to the end of the handler
  std::vector<ListedAttachment> listed;  // every attachment, packed or staying, in its order
  std::vector<SavedAttachment> saved;
  bool removing = false;  // the first packed attachment's removal was asked for
  bool archive_attached = false;
  // The user gave a password: the attachments leave protected or not at all.
  bool protect = false;
  bool cancel = false;          // the send must not go on; the item keeps its attachments
  std::set<std::string> stays;  // copies no unsent folder took: the only ones, never deleted
};

// The message's window takes no input while the send works on its attachments and lets window
// events run; it is enabled again before the progress window it owns goes, however the send
// ends. One that a dialog of the host's had disabled is left as that dialog wants it.
class DisabledWindow {
 public:
  explicit DisabledWindow(host::Ref<host::Window> window) : window_(std::move(window)) {
    if (!window_) return;
    attempt([&] { handle_ = window_->WindowHandle(); });
    attempt([&] { disabled_ = window_->EnableWindow(false); });
  }
  ~DisabledWindow() {
    if (disabled_) attempt([&] { window_->EnableWindow(true); });
  }
  DisabledWindow(const DisabledWindow&) = delete;
  DisabledWindow& operator=(const DisabledWindow&) = delete;
  std::uintptr_t handle() const { return handle_; }

 private:
  host::Ref<host::Window> window_;
  std::uintptr_t handle_ = 0;
  bool disabled_ = false;
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

}  // namespace

namespace {

// The user's password for this send, UTF-8 as typed (the bytes 7-Zip derives its key from):
// empty when the user chose to send unprotected. Sets run.cancel when the user cancelled or
// gave one that cannot be used: no answer never lets the attachments leave unprotected.
std::string ask_password(SendRun& run) {
  const std::string subject = required(run.item).Subject();
  PasswordAnswer answer =
      services().password_box("Password for the attachments of " + subject, "Parvex");
  if (answer.choice == PasswordAnswer::Choice::unprotected) return {};
  std::string refusal;
  if (answer.choice == PasswordAnswer::Choice::password) {
    refusal = password_refusal(answer.password);
    if (refusal.empty()) return std::move(answer.password);
  }
  wipe(answer.password);
  run.cancel = true;
  if (answer.choice == PasswordAnswer::Choice::cancel) {
    log_event("Send cancelled: no password was given");
    return {};
  }
  attempt([&] {
    services().message_box(refusal + " The message was not sent.", MsgButtons::Ok, MsgIcon::Warning,
                           "Parvex");
  });
  log_event("Send cancelled: the password cannot be used");
  return {};
}

void tell_not_protected(const std::string& why) {
  attempt([&] {
    services().message_box(
        "The attachments could not be protected with the password, so the message was not "
        "sent; its attachments are on it as they were.\n\n" +
            why,
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
  tell_not_protected(why);
}

// The archive and the saved copies go; the file list refreshes before the archive goes, and
// after.
void clear_work(SendWindows& windows, const std::string& folder, const SendRun& run) {
  windows.working_files(folder);
  fs::delete_file(archive_file());
  // Removing a file of hundreds of megabytes takes a while on some file systems.
  pump_events();
  for (const std::string& entry : windows.working_files(folder)) {
    fs::delete_file(folder + kPathSep + entry);
    pump_events();
  }
  // A copy the file list leaves out as hidden (wine hides every name with a leading dot).
  for (const SavedAttachment& s : run.saved) {
    if (fs::exists_no_follow(s.path)) fs::delete_file(s.path);
  }
}

// The send's journal, present while a send works in the working folder, so that the next start
// can tell what a send that died (a crash, a kill) left. "saving": every copy there is also on
// its item, and may go. "removing", written before the first removal from the item, with a line
// per copy (its size, its name there, the item's name for it): a copy may be the only one.
std::string journal_path() {
  return services().addin_folder() + kPathSep + "Attachments.journal";
}
constexpr std::string_view kSaving = "saving\n";
constexpr std::string_view kRemoving = "removing\n";

// add-in folder + separator + "Unsent attachments": copies that could not be put back on
// their item. No send empties it; the user takes them from there.
std::string unsent_folder() {
  return services().addin_folder() + kPathSep + "Unsent attachments";
}

// Moves a file into the unsent folder, or into "Unsent attachments (2)" ... when that one is
// not a folder of ours, under its own name or a shortened one when that is too long there.
// Returns where it went, or nothing when no place took it.
std::optional<std::string> move_unsent(const std::string& path, const std::string& name) {
  for (int k = 1; k <= 9; ++k) {
    const std::string folder = unsent_folder() + (k == 1 ? "" : " (" + std::to_string(k) + ")");
    std::optional<std::string> moved;
    attempt([&] {
      if (fs::is_link(folder) || (fs::exists_no_follow(folder) && !fs::is_folder(folder))) return;
      fs::ensure_folder(folder);
      std::set<std::string> taken;
      for (const std::string& entry : fs::list_entries(folder)) taken.insert(entry);
      for (const std::string& wanted : {name, shortened(safe_name(name))}) {
        const std::string target = folder + kPathSep + saved_name(wanted, taken);
        try {
          fs::rename_replace(path, target);
          moved = target;
          return;
        } catch (...) {
          if (!fs::exists_no_follow(path)) throw;
        }
      }
    });
    if (moved) return moved;
  }
  return std::nullopt;
}

// Replaces the journal whole: a crash leaves the old one or the new one, never a part.
void write_journal(std::string_view text) {
  const std::string path = journal_path();
  const std::string temp = path + ".tmp";
  // A folder planted under its name would refuse every send: it is moved aside.
  if (fs::is_folder(path) && !fs::is_link(path)) move_unsent(path, "Attachments.journal");
  if (fs::exists_no_follow(temp) && !fs::is_folder(temp)) fs::delete_file(temp);
  fs::File out(temp, "wb", fs::Links::refuse);
  out.write(text);
  out.close();
  fs::rename_replace(temp, path);
}

void delete_journal() {
  const std::string path = journal_path();
  if (fs::exists_no_follow(path) && !fs::is_folder(path)) fs::delete_file(path);
}

// The administrator's policies over the user's options, each problem logged.
struct SendSettings {
  Policies fixed;
  Options options;
};
SendSettings read_settings() {
  std::string problem;
  std::vector<std::string> policy_problems;
  SendSettings s;
  s.fixed = read_policies(&policy_problems);
  for (const std::string& line : policy_problems) log_event(line);
  s.options = s.fixed.over(read_options(&problem));
  if (!problem.empty()) log_event("The options file is damaged: " + problem);
  return s;
}

// Lists the item's attachments into run.listed, logging each that stays on the message, and
// returns how many are packed.
int32_t list_packed(SendRun& run, host::Attachments& attachments) {
  run.listed = list_attachments(required(run.item), attachments);
  // Protection wins over the host's shrinking: a picture kept for it would leave in the clear.
  for (ListedAttachment& l : run.listed) {
    if (run.protect && l.stays == kResizedPicture) l.stays.clear();
  }
  const auto n = static_cast<int32_t>(std::count_if(run.listed.begin(), run.listed.end(),
                                                    [](const auto& l) { return l.stays.empty(); }));
  for (const ListedAttachment& l : run.listed) {
    if (l.stays.empty()) continue;
    std::string name = "Attachment " + std::to_string(l.place);
    attempt([&] { name = l.attachment->FileName(); });
    log_event(name + " left on the message (" + l.stays + ")");
  }
  return n;
}

// Asks for the send's password when the options want one and holds it in password. False when
// the send goes no further (run.cancel tells whether it is cancelled).
bool take_password(SendRun& run, int32_t n, std::optional<CodeModule::HeldPassword>& password) {
  // Until the user has answered, a failure must not let the item leave unprotected: only
  // "Send without password", or no attachment to protect, lets it go as it is.
  run.protect = true;
  std::string given;
  if (n > 0) given = ask_password(run);
  if (run.cancel) return false;
  run.protect = !given.empty();
  if (run.protect) password.emplace(given);
  wipe(given);
  return true;
}

// Takes the add-in folder's lock and empties the working folder: the readme goes, any other
// file left there is moved to the unsent folder, and a leftover archive goes. False when the
// item is left as it is.
bool prepare_folder(SendRun& run, SendWindows& windows, const std::string& folder) {
  // Another process sharing the add-in folder works on the same files: wait for it a little,
  // then let this item go as it is.
  run.lock.emplace();
  if (!run.lock->held()) {
    leave_unchanged(run, run.lock->problem());
    return false;
  }
  const std::string prefix = folder + kPathSep;
  // Emptying a folder reached through a link would delete files elsewhere.
  if (fs::is_link(folder)) {
    leave_unchanged(run, "the working folder is a link: " + folder);
    return false;
  }
  make_working_folder();

  // A file left here may be a copy an earlier put-back could not return, the user's only one:
  // it is moved to the unsent folder, never deleted, and while it cannot be, nothing is packed.
  for (const std::string& entry : windows.working_files(folder)) {
    if (fs::same_name(entry, kReadme)) {
      log_line(time_stamp() + " " + "Deleting.." + entry);
      fs::delete_file(prefix + entry);
    } else if (const auto kept = move_unsent(prefix + entry, entry)) {
      log_line(time_stamp() + " " + "Kept.." + entry + " in " + *kept);
    } else {
      leave_unchanged(run, "the working folder holds " + entry + ", which no unsent folder took");
      return false;
    }
  }
  // The zip action adds to an existing archive: a leftover would carry another message's files.
  // A link there is removed itself, never followed.
  if (fs::exists_no_follow(archive_file())) {
    log_line(time_stamp() + " " + "Deleting.." + "Attachments.zip");
    fs::delete_file(archive_file());
  }
  // A link, pipe or folder under the readme's name would refuse every readme: a link or pipe
  // goes itself (never what it points to), a folder is moved aside as other leftovers are.
  const std::string readme_path = prefix + kReadme;
  if (fs::exists_no_follow(readme_path)) {
    if (!fs::is_folder(readme_path) || fs::is_link(readme_path)) {
      fs::delete_file(readme_path);
    } else if (!move_unsent(readme_path, kReadme)) {
      leave_unchanged(run, std::string("the working folder holds a folder ") + kReadme +
                               ", which no unsent folder took");
      return false;
    }
  }
  return true;
}

// Saves each packed attachment into folder under a name of its own, with its fingerprint.
void save_attachments(SendRun& run, const std::string& folder) {
  // What the emptying left (folders, links) is never saved over: the host would follow a link.
  std::set<std::string> taken;
  for (const std::string& entry : fs::list_entries(folder)) {
    if (!fs::same_name(entry, kReadme)) taken.insert(entry);
  }
  // The readme's name is never an attachment's: a case-insensitive extract would write one over
  // the other, and with a password the readme is the one entry packed unencrypted.
  taken.insert(kReadme);
  for (const ListedAttachment& l : run.listed) {
    if (!l.stays.empty()) continue;
    host::Attachment& attachment = required(l.attachment);
    const std::string name = attachment.FileName();
    const std::string path = folder + kPathSep + saved_name(name, taken);
    attachment.SaveAsFile(path);
    run.saved.push_back({path, name, fingerprint(path), l});
    log_line(time_stamp() + " - " + name + " files saved");
  }
}

// True when the archive saves less than the options ask: the attachments are then sent as they
// are, counted as such, and the send's files go.
bool saves_too_little(const SendRun& run, const Options& options, const PackedBytes& packed,
                      SendWindows& windows, const std::string& folder) {
  // A protected item never leaves as it is: that would drop the protection the user asked for.
  if (options.min_saving <= 0 || run.saved.empty() || run.protect) return false;
  double attached = 0;
  for (const SavedAttachment& s : run.saved) attached += static_cast<double>(s.saved.size);
  const double saving = attached > 0 ? (attached - packed.archive) / attached * 100 : 0;
  if (saving >= options.min_saving) return false;
  const std::string asked = std::to_string(options.min_saving) + " %";
  log_event("Send left with its attachments: the archive " +
            saving_words(attached, packed.archive) +
            (packed.archive > attached ? ", not the " + asked + " smaller asked"
                                       : ", less than the " + asked + " asked"));
  clear_work(windows, folder, run);
  // Sent as they are: no saving to claim; and a failure above counts nothing, as any other.
  statistics().PendingNormalBytes += attached;
  statistics().PendingZipBytes += attached;
  WriteStatistics();
  return true;
}

// Replaces the packed attachments on the item with the archive, shown as "DD", counts the
// bytes and clears the send's files.
void swap_attachments(SendRun& run, host::Attachments& attachments, const PackedBytes& packed,
                      SendWindows& windows, const std::string& folder) {
  // An attachment added, removed or moved while the files were packed would be removed without
  // being packed, or one that should stay would go.
  if (!same_attachments(attachments, run.listed))
    raise(kAttachmentsChanged, "The attachments changed while they were being packed");
  if (run.saved.empty()) return;
  // The packed ones only, each through its own reference, from the last place up: a host whose
  // attachment objects name places moves the later ones down at each removal.
  std::string journal(kRemoving);
  for (const SavedAttachment& s : run.saved) {
    // The item's name only where a put-back may rename the copy to it: no tab or line end.
    const bool plain = safe_name(s.original_name) == s.original_name;
    journal += std::to_string(s.saved.size) + "\t" + base_name(s.path) + "\t" +
               (plain ? s.original_name : "") + "\n";
  }
  write_journal(journal);
  run.removing = true;
  for (auto s = run.saved.rbegin(); s != run.saved.rend(); ++s) {
    required(s->listed.attachment).Delete();
    s->deleted = true;
  }
  std::vector<ListedAttachment> staying;
  for (const ListedAttachment& l : run.listed) {
    if (l.stays.empty()) continue;
    staying.push_back(l);
    staying.back().place = static_cast<int32_t>(staying.size());
  }
  if (!same_attachments(attachments, staying))
    raise(err::kInvalidCall, "Other attachments than the packed ones were removed");

  const host::Ref<host::Attachment> archive =
      attachments.Add(archive_file(), std::nullopt, std::nullopt, "DD");
  run.archive_attached = true;
  // Something after us may still cancel the send: a second send must know this archive.
  report_failure(
      [&] { required(archive).SetProperty(host::kArchiveMark, int64_t{1}); },
      [](const Failure& f) { log_event("The archive could not be marked: " + f.description()); });
  // Only now did the archive replace the files: the error handler writes these if need be.
  statistics().PendingNormalBytes += packed.files;
  statistics().PendingZipBytes += packed.archive;

  clear_work(windows, folder, run);
  WriteStatistics();
}

// The zip action's packing of the working folder, as the folder's listing shows it, through the
// engine; then the statistics are rewritten (the packed bytes count only once they left).
PackedBytes pack_saved(SendWindows& windows, const std::string& folder, const std::string& subject,
                       const SendRun& run, std::uintptr_t owner) {
  PackJob job{folder, windows.working_files(folder), archive_file()};
  // The list leaves out what the file system marks hidden, as wine marks every name with a
  // leading dot: the send's own copies are packed all the same.
  for (const SavedAttachment& s : run.saved) {
    const std::string name = base_name(s.path);
    if (std::none_of(job.names.begin(), job.names.end(),
                     [&](const std::string& n) { return fs::same_name(n, name); })) {
      job.names.push_back(name);
    }
  }
  PackedBytes packed;
  if (windows.packing_on()) packed = pack_files(job, *windows.packing_watch(subject, owner));
  WriteStatistics();
  return packed;
}

void send_steps(SendRun& run) {
  SendWindows& windows = send_windows();
  const SendSettings settings = read_settings();
  // Switched off by an earlier failure, packing still protects the mail that asks for it.
  if (!windows.enabled() &&
      !(settings.options.ask_password && program_state<SendState>().failed_off)) {
    return;
  }
  // The user released "Pack attachments" on this message, and no administrator fixes packing.
  if (pack_choice(required(run.item)) == false && !settings.fixed.compression) {
    log_event("Pack attachments is off for this message: it leaves as written");
    return;
  }

  // With a password asked for, a failure from here on must not let the item leave unprotected.
  run.protect = settings.options.ask_password;
  // Hold each reference the host hands out: a host object may live only as long as its holder.
  const host::Ref<host::Attachments> attachments_ref = required(run.item).GetAttachments();
  host::Attachments& attachments = required(attachments_ref);
  const int32_t n = list_packed(run, attachments);
  // A file whose type the host would not give would leave beside the archive, unprotected.
  if (run.protect && std::any_of(run.listed.begin(), run.listed.end(), [](const auto& l) {
        return l.stays == kTypeUnknown || l.stays == kMaybeInline;
      })) {
    leave_unchanged(run,
                    "an attachment could not be told apart from a picture of the body, or "
                    "its type could not be read: it would leave unprotected");
    return;
  }
  // Pictures, items, objects and links alone: the item leaves exactly as it is.
  if (n == 0 && !run.listed.empty()) return;
  std::optional<CodeModule::HeldPassword> password;
  if (settings.options.ask_password && !take_password(run, n, password)) return;

  const std::string folder = working_folder();
  if (!prepare_folder(run, windows, folder)) return;
  const DisabledWindow disabled(run.window);
  if (n > 32767) raise(err::kOverflow, "Overflow");
  write_journal(kSaving);
  Fingerprint readme;
  if (n > 0) {
    WriteReadme(settings.fixed.readme_text.value_or(""));
    readme = fingerprint(folder + kPathSep + kReadme);
  }
  save_attachments(run, folder);

  std::string subject;
  attempt([&] { subject = required(run.item).Subject(); });
  const PackedBytes packed = pack_saved(windows, folder, subject, run, disabled.handle());
  if (n > 0) {
    std::vector<Fingerprint> files;
    for (const SavedAttachment& s : run.saved) files.push_back(s.saved);
    check_archive({folder, {}, archive_file()}, files, readme,
                  run.protect ? ReadBack::protected_entries : ReadBack::listing);
  }
  // A Cancel pressed while the archive was checked still keeps the message: nothing left it yet.
  if (windows.cancel_pressed()) raise(kSendCancelled, "The send was cancelled");
  if (saves_too_little(run, settings.options, packed, windows, folder)) return;
  swap_attachments(run, attachments, packed, windows, folder);
}

// Moves a copy into an unsent folder at once, so that its name is free for the next one put
// back. Returns where the copy is now: where it was when it cannot be moved, and then it stays.
std::string keep_unsent(SendRun& run, const SavedAttachment& s) {
  const std::optional<std::string> moved = move_unsent(s.path, s.original_name);
  const std::string where = moved.value_or(s.path);
  if (!moved) run.stays.insert(s.path);
  attempt([&] { log_event(s.original_name + " kept in " + where); });
  return where;
}

// Tells the user which files the item lacks and where their bytes are.
void tell_unsent(const std::vector<std::pair<std::string, std::string>>& kept) {
  std::string text =
      "These attachments could not be put back on the message, which was not sent:\n";
  for (const auto& [name, where] : kept) text += "\n" + name + "\n    " + where;
  text += "\n\nAttach them again from there before you send the message.";
  if (std::any_of(kept.begin(), kept.end(),
                  [](const auto& k) { return k.second.starts_with(working_folder()); })) {
    text += " A file left in " + working_folder() +
            " is never deleted; no message is packed until it can be moved to " + unsent_folder() +
            ".";
  }
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
  if (!run.removing || run.archive_attached) return true;
  host::Ref<host::Attachments> attachments;
  attempt([&] { attachments = run.item->GetAttachments(); });
  std::vector<std::pair<std::string, std::string>> kept;  // name, where its copy is
  // The item itself is the better witness: a Delete may fail after removing, or not remove.
  // Asked before any file goes back, which could be taken for one of the same name and size.
  std::vector<bool> gone;
  for (const SavedAttachment& s : run.saved) {
    bool g = s.deleted;
    attempt([&] { g = !holds(required(attachments), s.listed); });
    gone.push_back(g);
    // Still on the item: its copy would only keep its name from one put back.
    if (!g) attempt([&] { fs::delete_file(s.path); });
  }
  for (size_t i = 0; i < run.saved.size(); ++i) {
    SavedAttachment& s = run.saved[i];
    if (!gone[i]) continue;
    attempt([&] { s.path = under_original_name(s); });
    try {
      // Put back in the order they had, each to the place it had. The host takes the position
      // only in rich-text mail, as the character it had in the body (never 0, which would hide
      // it); HTML and plain text put it last, the one order that host allows.
      required(attachments)
          .Add(s.path, std::nullopt, s.listed.position.value_or(s.listed.place), s.original_name);
      attempt([&] { fs::delete_file(s.path); });
    } catch (...) {
      attempt([&] {
        log_line(time_stamp() + " - " + s.original_name +
                 " could not be put back: " + current_failure().description());
      });
      kept.emplace_back(s.original_name, keep_unsent(run, s));
    }
  }
  if (!kept.empty()) attempt([&] { tell_unsent(kept); });
  return kept.empty();
}

// After a failed send nothing of it stays: the archive and the copies go at once, but for a
// copy that is now the only one (it stays where it is).
void discard_work(const SendRun& run) {
  if (!run.lock || !run.lock->held()) return;
  attempt([] {
    if (fs::exists_no_follow(archive_file()) && !fs::is_folder(archive_file())) {
      fs::delete_file(archive_file());
    }
  });
  const std::string folder = working_folder();
  if (fs::is_link(folder) || !fs::is_folder(folder)) return;
  std::vector<std::string> files;
  attempt([&] { files = fs::list_files(folder); });
  for (const std::string& entry : files) {
    const std::string path = folder + kPathSep + entry;
    if (!run.stays.contains(path)) attempt([&] { fs::delete_file(path); });
    pump_events();
  }
  for (const SavedAttachment& s : run.saved) {
    if (!run.stays.contains(s.path)) {
      attempt([&] {
        if (fs::exists_no_follow(s.path)) fs::delete_file(s.path);
      });
    }
  }
}

// Cancel in the progress window, or attachments the user changed meanwhile: the item keeps
// every attachment as it is, the send's files go, and packing stays on: nothing failed.
void cancel_send(SendRun& run, const Failure& why) {
  put_back(run);
  discard_work(run);
  attempt([&] {
    log_event(why.number() == kSendCancelled
                  ? "Send cancelled by the user; the message stays open with its attachments"
                  : "Send cancelled: its attachments changed while they were packed; the message "
                    "stays open");
  });
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

std::string recover_interrupted_send() {
  const std::string path = journal_path();
  if (!fs::exists_no_follow(path) || fs::is_folder(path)) return {};
  // Held by another process: its send is alive, and the journal is its own.
  const WorkLock lock;
  if (!lock.held()) return {};
  std::string text;
  attempt([&] {
    fs::File in(path, "rb", fs::Links::refuse);
    constexpr size_t kLimit = size_t{16} << 20;
    text.resize(kLimit + 1);
    text.resize(std::fread(text.data(), 1, text.size(), in.get()));
    if (std::ferror(in.get()) || text.size() > kLimit) text.clear();
  });
  // A journal of another shape says nothing: what it left waits for the next send, which keeps
  // any file there in the unsent folder.
  const bool saving = text.starts_with(kSaving);
  if (!saving && !text.starts_with(kRemoving)) return {};
  struct Copy {
    int64_t size = -1;
    std::string name;  // the item's name for it
  };
  std::map<std::string, Copy> copies;  // by the name in the working folder
  if (!saving) {
    for (size_t at = kRemoving.size(); at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      const auto tab1 = line.find('\t');
      const auto tab2 = line.find('\t', tab1 + 1);
      if (tab2 == std::string::npos) continue;
      Copy copy;
      std::from_chars(line.data(), line.data() + tab1, copy.size);
      const std::string saved = line.substr(tab1 + 1, tab2 - tab1 - 1);
      copy.name = tab2 + 1 < line.size() ? line.substr(tab2 + 1) : saved;
      copies[saved] = copy;
      if (copy.name != saved) copies[copy.name] = copy;  // a put-back renames it so
    }
  }
  const std::string folder = working_folder();
  std::vector<std::string> files;
  if (fs::is_folder(folder) && !fs::is_link(folder))
    attempt([&] { files = fs::list_files(folder); });
  std::string kept;
  for (const std::string& entry : files) {
    const std::string file = folder + kPathSep + entry;
    if (saving || entry == kReadme) {
      attempt([&] { fs::delete_file(file); });
      continue;
    }
    const auto it = copies.find(entry);
    std::string name = it == copies.end() ? entry : it->second.name;
    int64_t size = -1;
    attempt([&] { size = fs::file_length(file); });
    if (it != copies.end() && size != it->second.size) {
      std::string base = safe_name(name);
      // Room for the mark and a number: a cut name would lose the mark.
      if (base.size() + 32 > 255) base = shortened(base);
      const auto dot = base.find_last_of('.');
      const size_t stem = dot == std::string::npos || dot == 0 ? base.size() : dot;
      name = base.insert(stem, " (incomplete)");
    }
    const std::string where = move_unsent(file, name).value_or(file);
    attempt([&] { log_event(name + " kept in " + where); });
    kept += "\n" + name + "\n    " + where;
  }
  attempt([] {
    if (fs::exists_no_follow(archive_file()) && !fs::is_folder(archive_file())) {
      fs::delete_file(archive_file());
    }
  });
  attempt(delete_journal);
  if (kept.empty()) return {};
  return "Outlook stopped in the middle of a send, after Parvex had taken the attachments off the "
         "message. Copies of them, which may be the only ones, are kept:\n" +
         kept +
         "\n\nIf that message lacks them (look in Drafts), attach them again from there. A copy "
         "marked (incomplete) is not the size of the attachment it was saved from.";
}

void make_working_folder() {
  const std::string folder = working_folder();
  if (fs::exists_no_follow(folder) && !fs::is_folder(folder)) {
    if (const auto kept = move_unsent(folder, "Attachments")) {
      log_event("Moved what stood in place of the working folder to " + *kept);
    }
  }
  fs::ensure_folder(folder);
}

bool send_in_progress() {
  return program_state<SendState>().packing;
}

std::string shortened(const std::string& name) {
  const auto dot = name.find_last_of('.');
  const bool has_ext = dot != std::string::npos && dot > 0 && name.size() - dot <= 16;
  std::string stem = has_ext ? name.substr(0, dot) : name;
  size_t cut = std::min<size_t>(stem.size(), 64);
  while (cut > 0 && cut < stem.size() && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  stem.resize(cut);
  return stem + (has_ext ? name.substr(dot) : "");
}

std::string saved_name(const std::string& file_name, std::set<std::string>& taken) {
  const std::string name = safe_name(file_name);
  const auto dot = name.find_last_of('.');
  const bool has_ext = dot != std::string::npos && dot > 0;
  const std::string stem = has_ext ? name.substr(0, dot) : name;
  const std::string ext = has_ext ? name.substr(dot) : "";
  // The stem cut (whole UTF-8 characters) so that it, the suffix and the extension fit in the
  // 255 bytes a file name may have.
  const auto fitted = [&](size_t suffix) {
    constexpr size_t kMaxName = 255;
    size_t cut = stem.size();
    if (stem.size() + suffix + ext.size() > kMaxName) {
      cut = kMaxName > suffix + ext.size() ? kMaxName - suffix - ext.size() : 1;
      while (cut > 1 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    }
    return stem.substr(0, cut);
  };
  // One pass over the taken names finds every " (k)" this name has: linear per name, where
  // trying k = 2, 3, ... against all of them was cubic over many attachments of one name.
  // ASCII first: the folding compare is the cost over thousands of names. Where both texts
  // agree up to two differing ASCII characters (or an end), they differ under any folding.
  const auto same = [](std::string_view a, std::string_view b) {
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    size_t i = 0;
    while (i < a.size() && i < b.size() && static_cast<unsigned char>(a[i]) < 0x80 &&
           lower(static_cast<unsigned char>(a[i])) == lower(static_cast<unsigned char>(b[i]))) {
      ++i;
    }
    if (i == a.size() && i == b.size()) return true;
    const bool ascii_a = i == a.size() || static_cast<unsigned char>(a[i]) < 0x80;
    const bool ascii_b = i == b.size() || static_cast<unsigned char>(b[i]) < 0x80;
    return !(ascii_a && ascii_b) && fs::same_name(a, b);
  };
  std::string fits[10];  // by the digits of k
  for (size_t d = 1; d < 10; ++d) fits[d] = fitted(d + 3);
  bool base = false;
  // Only k up to one past the count can be the first free one.
  std::vector<bool> numbers(taken.size() + 3, false);
  for (const std::string& taken_name : taken) {
    const std::string_view t = taken_name;
    if (t.size() < ext.size() + 4 || t[t.size() - ext.size() - 1] != ')') {
      base = base || same(t, name);
      continue;
    }
    if (same(t, name)) {
      base = true;
      continue;
    }
    const std::string_view body = t.substr(0, t.size() - ext.size());
    const auto open = body.rfind(" (");
    if (open == std::string_view::npos || open + 3 >= body.size()) continue;
    const std::string_view digits = body.substr(open + 2, body.size() - open - 3);
    if (digits.size() > 9 || digits.front() == '0' ||
        digits.find_first_not_of("0123456789") != std::string_view::npos ||
        !same(t.substr(t.size() - ext.size()), ext) ||
        !same(body.substr(0, open), fits[digits.size()])) {
      continue;
    }
    const size_t k = std::stoul(std::string(digits));
    if (k < numbers.size()) numbers[k] = true;
  }
  std::string candidate = name;
  if (base) {
    size_t k = 2;
    while (numbers[k]) ++k;
    const std::string suffix = " (" + std::to_string(k) + ")";
    candidate = fitted(suffix.size()) + suffix + ext;
  }
  taken.insert(candidate);
  return candidate;
}

void after_send(std::function<void()> work) {
  program_state<SendState>().after.push_back(std::move(work));
  run_after_send();
}

void send_item(host::Ref<host::Item> item, bool& Cancel, host::Ref<host::Window> window) {
  if (send_in_progress()) {
    // Never let through unpacked: the user sends it again once the other one has left.
    Cancel = true;
    log_event("Send refused while another message is being packed; it stays open");
    attempt([] {
      services().message_box(
          "Another message's attachments are being packed. This message was not sent: send it "
          "again when the other one has left.",
          MsgButtons::Ok, MsgIcon::Info, "Parvex");
    });
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
  run.window = std::move(window);
  report_failure(
      [&] { send_steps(run); },
      [&](const Failure& failure) {
        if (failure.number() == kSendCancelled || failure.number() == kAttachmentsChanged) {
          cancel_send(run, failure);
          Cancel = true;
          return;
        }
        // Before anything that can fail: the item must not leave short of files,
        // nor unprotected when the user gave a password.
        if (!put_back(run)) Cancel = true;
        discard_work(run);
        if (run.protect && !run.archive_attached) {
          Cancel = true;
          tell_not_protected(failure.description());
        }
        log_line(time_stamp() + "Eroare Mailsend " + failure.description() + "   " +
                 std::to_string(CodeModule::state().SystemError));
        // Protected mail cancels this one send: switched off, the next would leave unprotected.
        if (!run.protect) {
          send_windows().disable();
          program_state<SendState>().failed_off = true;
        }
        // Without the lock nothing was counted, and another process owns the file.
        if (run.lock && run.lock->held()) WriteStatistics();
      });
  if (run.lock && run.lock->held()) {
    attempt(delete_journal);
  }
  attempt([] { send_windows().send_ended(); });
  if (run.cancel) Cancel = true;
  // A copy: the listener may replace itself.
  if (const auto listener = program_state<SendState>().listener) attempt(listener);
}

std::optional<bool> pack_choice(host::Item& item) {
  std::optional<bool> choice;
  attempt([&] {
    const auto value = item.GetProperty(kPackChoiceProperty);
    if (const auto* number = value ? std::get_if<int64_t>(&*value) : nullptr) choice = *number != 0;
  });
  return choice;
}

void set_pack_choice(host::Item& item, bool pack) {
  item.SetProperty(kPackChoiceProperty, int64_t{pack ? 1 : 0});
}

void set_send_listener(std::function<void()> listener) {
  program_state<SendState>().listener = std::move(listener);
}

void read_item(host::Item& item) {
  log_event("objMailItem_Read");
  log_event("# attachmen = " + std::to_string(required(item.GetAttachments()).Count()));
}

}  // namespace parvex::compression
