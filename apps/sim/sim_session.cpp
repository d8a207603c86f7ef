#include "sim/sim_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <istream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/library.h"
#include "seams/services.h"
#include "support/options.h"
#include "support/settings_files.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_options.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"
#include "ui/headless_view.h"
#include "wipe.h"

namespace parvex::sim {

namespace {

// A name without the characters file and folder names refuse.
std::string safe_name(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 32 ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "_";
  return name;
}

// text cut (whole UTF-8 characters) so that it and tail fit in the 255 bytes a name may have.
std::string fit_name(const std::string& text, const std::string& tail) {
  constexpr size_t kMaxName = 255;
  if (text.size() + tail.size() <= kMaxName) return text + tail;
  size_t cut = kMaxName - tail.size();
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + tail;
}

// A message's folder name: its number and subject, cut to a name the folder can have (the number
// keeps it apart from the others).
std::string folder_name(size_t number, const std::string& subject) {
  if (subject.empty()) return std::to_string(number);
  return safe_name(fit_name(std::to_string(number) + " " + subject, ""));
}

// The add-in's archive, not a user's file that happens to be called "DD" or "Attachments.zip".
bool is_archive(const SentAttachment& a) {
  return a.marked;
}

// The file name an attachment is written under in its message's folder: never one already
// taken there, whatever the case, so that no attachment replaces another.
std::string attachment_file_name(const SentAttachment& a, std::set<std::string>& taken) {
  // The archive's file, whatever its label in a rich-text message: an unzip tool wants ".zip".
  const std::string name = safe_name(is_archive(a) ? a.file_name : a.display_name);
  const auto dot = name.find_last_of('.');
  const bool has_ext = dot != std::string::npos && dot > 0 && name.size() - dot <= 16;
  const std::string stem = has_ext ? name.substr(0, dot) : name;
  const std::string ext = has_ext ? name.substr(dot) : "";
  std::string candidate = fit_name(stem, ext);
  for (int n = 2;; ++n) {
    std::string key = candidate;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (taken.insert(key).second) return candidate;
    candidate = fit_name(stem, " (" + std::to_string(n) + ")" + ext);
  }
}

// Renames the folder from to to, unless something is already there: false then.
bool rename_unless_taken(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD e = GetLastError();
  if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return false;
  throw std::filesystem::filesystem_error(
      "cannot rename", from, to, std::error_code(static_cast<int>(e), std::system_category()));
#else
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST || errno == ENOTEMPTY) return false;
  if (errno != EINVAL && errno != ENOSYS) {
    throw std::filesystem::filesystem_error("cannot rename", from, to,
                                            std::error_code(errno, std::generic_category()));
  }
  // No such rename on this file system: claim the name with an empty folder, which a rename
  // then replaces in one step.
  if (!std::filesystem::create_directory(to)) return false;
  std::filesystem::rename(from, to);
  return true;
#endif
}

// A new, empty folder of this process's own in parent.
std::filesystem::path private_folder(const std::filesystem::path& parent) {
  for (;;) {
    const auto p = parent / (".partial-" + unique_tag());
    if (std::filesystem::create_directory(p)) return p;
  }
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// The rest of the line after its first word.
std::string rest(const std::string& line) {
  const auto start = line.find_first_not_of(" \t");
  const auto gap = line.find_first_of(" \t", start);
  if (gap == std::string::npos) return "";
  const auto text = line.find_first_not_of(" \t", gap);
  return text == std::string::npos ? "" : line.substr(text);
}

const char* kUsage =
    "commands: connect | explorer [CAPTION] | mail SUBJECT | open SUBJECT | inline-reply SUBJECT "
    "|\n"
    "  contact NAME | attach FILE [inline CID|cid CID|location URL|hidden] |\n"
    "  attach-item SUBJECT | attach-object NAME | attach-link PATH | body plain|html|rich [TEXT] | "
    "send [SUBJECT] |\n"
    "  program-send SUBJECT FILE... | cancel-later | exit | host PERSONALITY |\n"
    "  read | close [mail|explorer] | button | check on|off | zip | startup-complete |\n"
    "  show outlook|about|startup|options | startup continue|line|logo|background|close |\n"
    "  fail CALL [TIMES] | kill-at CALL [N] | stop-failing | log | stats | shutdown | disconnect "
    "|\n"
    "  options password [TEXT] | options min-saving N | answer cancel|unprotected |\n"
    "  cancel-after N | ribbon | ribbon click|toggle LABEL\n";

// What the simulated user does with the next send's progress window, and what it shows on the
// terminal.
struct SimProgress {
  int cancel_after = 0;  // press Cancel at this packing step of the next send; 0: never
  int steps = 0;         // packing steps of the send in progress
  const SimOutlook* outlook = nullptr;
  std::string windows;  // the client's windows disabled at the first step, and the owner
  bool terminal = false;
  std::string drawn;  // the terminal line last drawn
};

void packing_step_seen() {
  auto& p = program_state<SimProgress>();
  auto& window = ui::touch<ui::frm_progress>();
  if (++p.steps == 1 && p.outlook) {
    const auto seen = [&](const auto& windows) {
      for (const auto& w : windows) {
        if (w->enabled()) continue;
        p.windows += " \"" + w->caption() + "\" disabled";
        if (window.owner == w->handle()) p.windows += ", owner of the progress window";
      }
    };
    seen(p.outlook->explorers());
    seen(p.outlook->inspectors());
  }
  if (p.steps == p.cancel_after) window.cmd_cancel.click();
  if (!p.terminal || !window.visible) return;
  char percent[16];
  std::snprintf(percent, sizeof percent, "%3d %% ", window.bar.value / 10);
  std::string text = window.lbl_count.caption + "  " + percent + window.lbl_file.caption;
  if (text == p.drawn) return;
  std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
  p.drawn = std::move(text);
}

// The gaps between the moments the add-in let window events run, during one send.
struct PumpGaps {
  const SimOutlook* outlook = nullptr;  // measuring while set
  std::chrono::steady_clock::time_point last;
  double copies_at_last = 0;
  double own_ms = 0;   // the longest gap less the client's copies in it
  double host_ms = 0;  // the client's copies in one gap, at most
};

void close_gap() {
  auto& g = program_state<PumpGaps>();
  if (!g.outlook) return;
  const auto now = std::chrono::steady_clock::now();
  const double copies = g.outlook->copy_ms() - g.copies_at_last;
  const double gap = std::chrono::duration<double, std::milli>(now - g.last).count();
  g.own_ms = std::max(g.own_ms, gap - copies);
  g.host_ms = std::max(g.host_ms, copies);
  g.last = now;
  g.copies_at_last = g.outlook->copy_ms();
}

struct TypedPassword {
  std::string text;
  std::optional<PasswordAnswer::Choice> next_choice;
};

// The text after "options password" and the one blank after it, blanks kept as typed.
std::string typed_text(const std::string& line) {
  const auto word = line.find("password");
  if (word == std::string::npos || line.size() <= word + 9) return {};
  return line.substr(word + 9);
}

// A line as an error may show it: never the password it types.
std::string shown(const std::string& line) {
  const auto w = words(line);
  // Any options line, whatever its case or shape: a mistyped one may still hold a password.
  if (!w.empty() && w[0].size() == 7 &&
      std::equal(w[0].begin(), w[0].end(), "options",
                 [](char a, char b) { return (a | 0x20) == b; })) {
    return w[0] + " ...";
  }
  return line;
}

class CoreLink final : public AddinLink {
 public:
  std::unique_ptr<host::Connection> create(SimOutlook&) override {
    return std::make_unique<Connect>();
  }
  const Counters& held(const SimOutlook& outlook) const override { return outlook.counters(); }
  bool windows_here() const override { return true; }
};

}  // namespace

void events_pumped() {
  close_gap();
}

void set_typed_password(std::string password) {
  pvx::wipe(program_state<TypedPassword>().text);
  program_state<TypedPassword>().text = std::move(password);
}

const std::string& typed_password() {
  return program_state<TypedPassword>().text;
}

std::optional<PasswordAnswer::Choice> take_password_choice() {
  return std::exchange(program_state<TypedPassword>().next_choice, std::nullopt);
}

std::string options_store() {
#ifdef _WIN32
  return "HKEY_CURRENT_USER\\Software\\Parvex\\Options";
#else
  return services().addin_folder() + kPathSep + kSettingsFile;
#endif
}

std::string describe(const Options& options) {
  return std::string(options.ask_password ? "a password at each send" : "no password") +
         ", minimum saving " + std::to_string(options.min_saving) + " %";
}

std::unique_ptr<AddinLink> core_link() {
  return std::make_unique<CoreLink>();
}

namespace {

bool up_to_date(const std::filesystem::path& source, const std::filesystem::path& target) {
  std::error_code ec;
  return std::filesystem::exists(target, ec) &&
         std::filesystem::file_size(target, ec) == std::filesystem::file_size(source) && !ec &&
         std::filesystem::last_write_time(target, ec) >= std::filesystem::last_write_time(source) &&
         !ec;
}

}  // namespace

void install_libraries(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::create_directories(to);
  for (const char* base : {"zip32", "unzip32"}) {
    const std::string name = library_file_name(base);
    const auto source = from / name;
    const auto target = to / name;
    if (!std::filesystem::exists(source) || up_to_date(source, target)) continue;
    const auto partial = to / (name + "." + unique_tag() + ".new");
    try {
      std::filesystem::copy_file(source, partial,
                                 std::filesystem::copy_options::overwrite_existing);
      // Windows refuses to rename over a file someone has open this moment: a few tries.
      for (int attempt = 1;; ++attempt) {
        std::error_code ec;
        std::filesystem::rename(partial, target, ec);
        if (!ec) break;
        // Another run put the same library in place first (or has it loaded): that is ours too.
        if (up_to_date(source, target)) {
          std::filesystem::remove(partial, ec);
          break;
        }
        if (attempt == 20)
          throw std::filesystem::filesystem_error("cannot install", partial, target, ec);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    } catch (...) {
      std::error_code ec;
      std::filesystem::remove(partial, ec);
      throw;
    }
  }
}

SimSession::SimSession(std::ostream& out, std::string outbox, std::unique_ptr<AddinLink> link)
    : out_(out), outbox_(std::move(outbox)), link_(std::move(link)) {
  ui::on_packing_step = packing_step_seen;
}

SimSession::~SimSession() {
  ui::on_packing_step = nullptr;
  // Nothing of ours may outlive the client it holds references to.
  if (connect_) attempt([&] { host_exit(); });
}

void SimSession::connect() {
  ribbon_.unload();
  connect_ = link_->create(outlook_);
  try {
    connect_->OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin());
  } catch (...) {
    // As a host does: a connection that failed is dropped, never disconnected.
    connect_.reset();
    throw;
  }
  // Then the main window's ribbon, from an add-in object that offers one.
  auto* ribbon = dynamic_cast<host::RibbonExtensibility*>(connect_.get());
  if (ribbons_ && ribbon) ribbon_.load(*ribbon, host::kExplorerRibbon);
}

void SimSession::ribbon_line(const std::vector<std::string>& w, const std::string& line) {
  if (!connect_) ribbon_.unload();
  if (w.size() == 1) return ribbon_.print(out_);
  if (w.size() < 3 || (w[1] != "click" && w[1] != "toggle"))
    raise(err::kInvalidCall, "ribbon takes nothing, or click LABEL, or toggle LABEL");
  ribbon_.press(w[1], rest(rest(line)));
}

void SimSession::host_exit() {
  ribbon_.unload();
  if (!connect_) return;
  connect_->OnBeginShutdown();
  connect_->OnDisconnection(host::DisconnectMode::HostShutdown);
  connect_.reset();
}

std::shared_ptr<SimItem> SimSession::current_mail() const {
  for (auto it = mails_.rbegin(); it != mails_.rend(); ++it) {
    if (!(*it)->sent()) return *it;
  }
  return nullptr;
}

std::shared_ptr<SimItem> SimSession::open_mail(const std::string& subject) const {
  for (auto it = mails_.rbegin(); it != mails_.rend(); ++it) {
    if (!(*it)->sent() && (*it)->subject() == subject) return *it;
  }
  return nullptr;
}

std::shared_ptr<SimItem> SimSession::required_mail(std::shared_ptr<SimItem> mail) {
  if (!mail) raise(err::kObjectRequired, "no such message is open");
  return mail;
}

std::string SimSession::write_message(const SentMessage& message, std::vector<std::string>& names) {
  const auto outbox = as_path(outbox_);
  std::filesystem::create_directories(outbox);
  // Written whole into a folder of our own, then renamed into place: a failed write leaves no
  // cut copy, and a folder another run took meanwhile is never written into.
  const auto partial = private_folder(outbox);
  try {
    std::set<std::string> taken;
    if (!message.html_body.empty()) {
      taken.insert("body.html");
      fs::File body(as_utf8(partial / "body.html"), "wb");
      body.write(message.html_body);
      body.close();
    }
    for (const auto& a : message.attachments) {
      names.push_back(attachment_file_name(a, taken));
      fs::File in(a.bytes.path(), "rb");
      fs::File out(as_utf8(partial / as_path(names.back())), "wb");
      copy_stream(in.get(), a.bytes.path(), out);
      out.close();
    }
    for (size_t number = 1;; ++number) {
      const auto folder = outbox / as_path(folder_name(number, message.subject));
      if (rename_unless_taken(partial, folder)) {
        written_.push_back(as_utf8(folder));
        return written_.back();
      }
    }
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove_all(partial, ec);
    throw;
  }
}

void SimSession::print_sent(const SentMessage& message, double milliseconds) {
  std::vector<std::string> names;
  const std::string folder = write_message(message, names);
  out_ << "Sent \"" << message.subject << "\" with " << message.attachments.size()
       << " attachment(s):\n";
  char line[512];
  for (size_t i = 0; i < message.attachments.size(); ++i) {
    const auto& a = message.attachments[i];
    std::snprintf(line, sizeof line, "  %-40s %12" PRIu64 " bytes\n", a.display_name.c_str(),
                  a.bytes.size());
    out_ << line;
    if (!is_archive(a)) continue;
    UnzipFiles list;
    list.ExtractList(1);
    const std::string archive = folder + kPathSep + names[i];
    if (list.Unzip(archive, folder) != 0) {
      out_ << "    (the archive could not be listed: " << list.GetLastMessage() << ")\n";
      continue;
    }
    for (const auto& e : CodeModule::state().ListEntries) {
      std::snprintf(line, sizeof line, "    %-38s %12" PRIu64 " bytes, packed %12" PRIu64 "\n",
                    e.name.c_str(), e.size, e.packed_size);
      out_ << line;
    }
  }
  std::snprintf(line, sizeof line, "Send took %.1f ms (the client's copies %.1f ms); saved in %s\n",
                milliseconds, outlook_.copy_ms(), folder.c_str());
  out_ << line;
  if (link_->windows_here()) print_statistics();
}

void SimSession::set_option(const std::string& name, const std::string& value) {
  Options options = read_options();
  if (name == "password") {
    // Typed into the add-in's own input box: only one in this process can be answered.
    if (!value.empty() && !link_->windows_here()) {
      raise(err::kInvalidCall, "a password is typed only into an add-in in this process");
    }
    options.ask_password = !value.empty();
    set_typed_password(value);
  } else if (name == "min-saving") {
    if (!parse_min_saving(value, options.min_saving)) {
      raise(err::kInvalidCall, "the minimum saving is a whole percent from 0 to 99: " + value);
    }
  } else {
    raise(err::kInvalidCall, "no option " + name);
  }
  write_options(options);
  out_ << "Options stored in " << options_store() << ": " << describe(options) << "\n";
}

void SimSession::print_statistics() {
  const auto& about = ui::touch<ui::frm_about>();
  out_ << "Statistics: " << about.lbl_totalbytes.caption << "; " << about.lbl_totalzip.caption
       << "; " << about.lbl_Saving.caption << "\n";
}

void SimSession::print_held() {
  const Counters& held = link_->held(outlook_);
  out_ << "Host references still held: " << held.references
       << ", subscriptions still open: " << held.subscriptions << "\n";
}

bool SimSession::windows_reachable() {
  if (link_->windows_here()) return true;
  out_ << "(the add-in's windows are in Parvex.dll, out of this client's reach)\n";
  return false;
}

void SimSession::print_log() {
  out_ << "Event log:\n";
  for (const auto& l : ui::touch<ui::frm_outlook>().list_log.items) out_ << "  " << l << "\n";
}

void SimSession::send_mail(const std::shared_ptr<SimItem>& mail) {
  const size_t before = outlook_.outbox().size();
  outlook_.reset_copy_ms();
  program_state<SimProgress>().terminal = terminal_progress_;
  program_state<SimProgress>().outlook = &outlook_;
  const auto start = std::chrono::steady_clock::now();
  if (measure_gaps_) program_state<PumpGaps>() = {&outlook_, start};
  outlook_.send(mail);
  close_gap();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  // The Cancel asked for was for this send only.
  const SimProgress progress = std::exchange(program_state<SimProgress>(), {});
  if (!progress.drawn.empty()) std::fprintf(stderr, "\n");
  if (progress.steps > 0) {
    out_ << "While packing:"
         << (progress.windows.empty() ? " no window disabled" : progress.windows) << "\n";
  }
  const PumpGaps gaps = std::exchange(program_state<PumpGaps>(), {});
  for (const auto& f : outlook_.event_failures()) {
    out_ << "(the host saw a failure: " << f.description() << ")\n";
  }
  if (outlook_.outbox().size() == before) {
    out_ << "The send was cancelled; the message stays open.\n";
    ++cancelled_sends_;
  } else {
    print_sent(outlook_.outbox().back(), took.count());
  }
  if (measure_gaps_) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "Longest time without window events: %.1f ms of the add-in's own steps; the "
                  "client's copies %.1f ms\n",
                  gaps.own_ms, gaps.host_ms);
    out_ << line;
  }
}

// "attach FILE [inline CID|cid CID|location URL|hidden]", "attach-item SUBJECT", "attach-object
// NAME", "attach-link PATH" and "body plain|html|rich [TEXT]" on the open message.
void SimSession::attach(SimItem& mail, const std::string& cmd, const std::string& args) {
  if (cmd == "attach-item") return mail.attach_item(args);
  if (cmd == "attach-object") return mail.attach_object(args);
  if (cmd == "attach-link") return mail.attach_link(args);
  const auto w = words(args);
  if (cmd == "body") {
    const int32_t format = w.empty()         ? 0
                           : w[0] == "plain" ? host::kFormatPlain
                           : w[0] == "html"  ? host::kFormatHtml
                           : w[0] == "rich"  ? host::kFormatRich
                                             : 0;
    if (format == 0) raise(err::kInvalidCall, "body plain|html|rich [TEXT]");
    return mail.set_body(format, rest(args));
  }
  // The words after the file name, when they are one of the forms: the file name may hold blanks,
  // and the id the form's own word.
  const size_t n = w.size();
  const auto file = [&](size_t last_words) {
    size_t end = args.find_last_not_of(" \t");
    for (size_t k = 0; k < last_words; ++k) {
      end = args.find_last_of(" \t", end);
      end = args.find_last_not_of(" \t", end);
    }
    return args.substr(0, end + 1);
  };
  if (n >= 3 && w[n - 2] == "inline") return mail.attach_inline(file(2), w[n - 1]);
  if (n >= 3 && (w[n - 2] == "cid" || w[n - 2] == "location")) {
    mail.attach_file(file(2));
    return mail.attachments().back()->set_property(
        w[n - 2] == "cid" ? host::kAttachContentId : host::kAttachContentLocation, w[n - 1]);
  }
  if (n >= 2 && w[n - 1] == "hidden") {
    mail.attach_file(file(1));
    return mail.attachments().back()->set_property(host::kAttachmentHidden, int64_t{1});
  }
  mail.attach_file(args);
}

// Lines that the host or the user do to windows and messages.
bool SimSession::run_client_line(const std::string& line, const std::vector<std::string>& w) {
  const std::string& cmd = w[0];
  if (cmd == "connect") {
    connect();
  } else if (cmd == "explorer") {
    const std::string caption = rest(line);
    outlook_.open_explorer(caption.empty() ? "Inbox - Microsoft Outlook" : caption);
  } else if (cmd == "mail" || cmd == "open") {
    // A message written in its own window, or a received one opened there: that one is never
    // the message the next lines write or send.
    const std::string subject = rest(line);
    const auto item = outlook_.new_mail(subject);
    if (cmd == "mail") mails_.push_back(item);
    outlook_.open_inspector(item, subject + " - Message (HTML)");
  } else if (cmd == "inline-reply") {
    // Written in the main window's reading pane: no message window opens.
    if (outlook_.explorers().empty()) raise(err::kObjectRequired, "no main window is open");
    mails_.push_back(outlook_.new_mail(rest(line)));
    outlook_.explorers().back()->set_inline_response(mails_.back());
  } else if (cmd == "contact") {
    const std::string name = rest(line);
    outlook_.open_inspector(outlook_.new_item(40, name), name + " - Contact");
  } else if (cmd == "ribbon") {
    ribbon_line(w, line);
  } else if (cmd == "attach" || cmd == "attach-item" || cmd == "attach-object" ||
             cmd == "attach-link" || cmd == "body") {
    attach(*required_mail(current_mail()), cmd, rest(line));
  } else if (cmd == "send") {
    send_mail(required_mail(w.size() > 1 ? open_mail(rest(line)) : current_mail()));
  } else if (cmd == "program-send" && w.size() >= 2) {
    // A program's Send of an item never shown: it has no window for the add-in to follow.
    const auto item = outlook_.new_mail(w[1]);
    for (size_t i = 2; i < w.size(); ++i) item->attach_file(w[i]);
    send_mail(item);
  } else if (cmd == "cancel-later") {
    outlook_.cancel_next_send_later();
  } else if (cmd == "read") {
    outlook_.read(required_mail(current_mail()));
  } else if (cmd == "close") {
    if (w.size() > 1 && w[1] == "explorer") {
      if (outlook_.explorers().empty()) raise(err::kObjectRequired, "no main window is open");
      outlook_.close(outlook_.explorers().back());
    } else {
      if (outlook_.inspectors().empty()) raise(err::kObjectRequired, "no item window is open");
      outlook_.close(outlook_.inspectors().back());
    }
  } else if (cmd == "button") {
    std::shared_ptr<SimCommandBarButton> button;
    for (const auto& e : outlook_.explorers()) {
      const auto bar = e->command_bars()->bar("standard");
      if (!bar->buttons().empty()) button = bar->buttons().back();
    }
    if (!button) raise(err::kObjectRequired, "no toolbar button");
    button->click();
  } else {
    return false;
  }
  return true;
}

// "show outlook|about|startup|options": a window's headless view.
void SimSession::show_window(const std::string& name) {
  std::string view;
  if (name == "outlook") {
    view = ui::draw(ui::touch<ui::frm_outlook>());
  } else if (name == "about") {
    view = ui::draw(ui::touch<ui::frm_about>());
  } else if (name == "options") {
    view = ui::draw(ui::touch<ui::frm_options>());
  } else if (name == "startup" && ui::exists<ui::frm_ab>()) {
    view = ui::draw(ui::touch<ui::frm_ab>());
  } else if (name == "startup") {
    view = "(the startup window is closed)";
  } else {
    raise(err::kInvalidCall, "no window " + name);
  }
  out_ << view << (view.ends_with("\n") ? "" : "\n");
}

// "startup continue|line|logo|background|close": a click on the startup window.
void SimSession::click_startup(const std::string& what) {
  if (!ui::exists<ui::frm_ab>()) raise(err::kObjectRequired, "the startup window is closed");
  auto& startup = ui::touch<ui::frm_ab>();
  if (what == "continue") {
    startup.Command1.click();
  } else if (what == "line") {
    startup.Label1.click();
  } else if (what == "logo") {
    startup.Image1.click();
  } else if (what == "background") {
    startup.click();
  } else if (what == "close") {
    ui::close<ui::frm_ab>();
  } else {
    raise(err::kInvalidCall, "no such click on the startup window: " + what);
  }
}

// Lines that act on the add-in's own windows and options.
bool SimSession::run_addin_line(const std::string& line, const std::vector<std::string>& w) {
  const std::string& cmd = w[0];
  if ((cmd == "check" || cmd == "zip" || cmd == "show" || cmd == "startup" || cmd == "log" ||
       cmd == "stats" || cmd == "cancel-after") &&
      !windows_reachable()) {
  } else if (cmd == "check" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
    auto& box = ui::touch<ui::frm_about>().parvex_chk;
    // A locked box takes no click, as on the screen.
    if (!box.enabled) raise(err::kPermissionDenied, "the setting is set by your administrator");
    box.value = w[1] == "on" ? 1 : 0;
    box.click();  // as the view tells the model
  } else if (cmd == "zip") {
    ui::touch<ui::frm_outlook>().cmd_ZIP.click();
  } else if (cmd == "show" && w.size() == 2) {
    show_window(w[1]);
  } else if (cmd == "startup" && w.size() == 2) {
    click_startup(w[1]);
  } else if (cmd == "options" && w.size() >= 2) {
    set_option(w[1], w[1] == "password" ? typed_text(line) : rest(rest(line)));
  } else if (cmd == "answer" && w.size() == 2 && (w[1] == "cancel" || w[1] == "unprotected")) {
    program_state<TypedPassword>().next_choice =
        w[1] == "cancel" ? PasswordAnswer::Choice::cancel : PasswordAnswer::Choice::unprotected;
  } else if (cmd == "cancel-after" && w.size() == 2) {
    int steps = 0;
    if (w[1].size() > 6 || w[1].find_first_not_of("0123456789") != std::string::npos ||
        std::sscanf(w[1].c_str(), "%d", &steps) != 1 || steps < 1) {
      raise(err::kInvalidCall, "cancel-after takes a number of packing steps from 1");
    }
    program_state<SimProgress>().cancel_after = steps;
  } else if (cmd == "log") {
    print_log();
  } else if (cmd == "stats") {
    print_statistics();
  } else {
    return false;
  }
  return true;
}

// Lines of the host's life: failures it is told to make, and the add-in's connection.
bool SimSession::run_host_line(const std::vector<std::string>& w) {
  const std::string& cmd = w[0];
  if (cmd == "startup-complete") {
    if (connect_) connect_->OnStartupComplete();
  } else if (cmd == "fail" && w.size() >= 2) {
    if (w.size() > 3 ||
        (w.size() == 3 && (w[2].empty() || w[2].size() > 6 ||
                           w[2].find_first_not_of("0123456789") != std::string::npos))) {
      raise(err::kInvalidCall, "fail CALL [TIMES]: TIMES is a whole number");
    }
    outlook_.fail(w[1], w.size() > 2 ? std::stoi(w[2]) : -1);
  } else if (cmd == "kill-at" && (w.size() == 2 || w.size() == 3)) {
    if (w.size() == 3 && (w[2].size() > 6 || w[2].find_first_not_of("0123456789") != w[2].npos ||
                          w[2].find_first_not_of('0') == w[2].npos)) {
      raise(err::kInvalidCall, "kill-at CALL [N]: N is a whole number from 1");
    }
    outlook_.kill_at(w[1], w.size() > 2 ? std::stoi(w[2]) : 1);
  } else if (cmd == "stop-failing") {
    outlook_.stop_failing();
  } else if (cmd == "host" && w.size() == 2) {
    outlook_.set_personality(personality_named(w[1]));
  } else if (cmd == "shutdown") {
    host_exit();
    print_held();
  } else if (cmd == "exit") {
    // As the host has exited since 2010: no begin-shutdown, no disconnection, the add-in
    // object simply released.
    connect_.reset();
  } else if (cmd == "disconnect") {
    if (connect_) connect_->OnDisconnection(host::DisconnectMode::UserClosed);
    connect_.reset();
  } else {
    return false;
  }
  return true;
}

bool SimSession::run(const std::string& line) {
  const auto w = words(line);
  if (w.empty() || w[0][0] == '#') return true;
  try {
    if (!run_client_line(line, w) && !run_addin_line(line, w) && !run_host_line(w)) {
      out_ << "unknown command: " << shown(line) << "\n" << kUsage;
      return false;
    }
  } catch (...) {
    out_ << "failed: " << shown(line) << ": " << current_failure().description() << "\n";
    return false;
  }
  return true;
}

bool SimSession::run_script(std::istream& in) {
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!run(line)) return false;
  }
  return true;
}

bool SimSession::send_files(const std::string& subject, const std::vector<std::string>& files,
                            const std::vector<std::string>& inline_files) {
  if (!run("explorer")) return false;
  const auto start = std::chrono::steady_clock::now();
  if (!run("connect")) return false;
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  char line[64];
  std::snprintf(line, sizeof line, "OnConnection took %.2f ms\n", took.count());
  out_ << line;
  outlook_.raise_startup();
  if (!run("startup-complete") || !run("mail " + subject)) return false;
  for (const auto& f : files) {
    try {
      current_mail()->attach_file(f);
    } catch (...) {
      out_ << "cannot attach " << f << ": " << current_failure().description() << "\n";
      return false;
    }
  }
  for (size_t i = 0; i < inline_files.size(); ++i) {
    try {
      current_mail()->attach_inline(inline_files[i], "picture" + std::to_string(i + 1));
    } catch (...) {
      out_ << "cannot attach " << inline_files[i] << ": " << current_failure().description()
           << "\n";
      return false;
    }
  }
  if (!run("send")) return false;
  if (link_->windows_here()) {
    out_ << "\n";
    print_log();
  }
  out_ << "\n";
  return run("shutdown") && cancelled_sends_ == 0;
}

}  // namespace parvex::sim
