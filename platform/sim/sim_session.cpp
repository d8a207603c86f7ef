#include "sim/sim_session.h"

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
#include "platform/fs.h"
#include "platform/library.h"
#include "platform/services.h"
#include "support/options.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_options.h"
#include "ui/frm_outlook.h"
#include "ui/headless_view.h"

namespace parvex::sim {
namespace {

std::filesystem::path as_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string as_utf8(const std::filesystem::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

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

// A message's folder name: its number and subject.
std::string folder_name(size_t number, const std::string& subject) {
  return safe_name(subject.empty() ? std::to_string(number)
                                   : std::to_string(number) + " " + subject);
}

// The file name an attachment is written under in its message's folder: never one already
// taken there, whatever the case, so that no attachment replaces another.
std::string attachment_file_name(const std::string& display_name, std::set<std::string>& taken) {
  // The archive's display name has no extension; an unzip tool is happier with one.
  const std::string name = safe_name(display_name == "DD" ? "DD.zip" : display_name);
  const auto dot = name.find_last_of('.');
  const bool has_ext = dot != std::string::npos && dot > 0;
  const std::string stem = has_ext ? name.substr(0, dot) : name;
  const std::string ext = has_ext ? name.substr(dot) : "";
  std::string candidate = name;
  for (int n = 2;; ++n) {
    std::string key = candidate;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (taken.insert(key).second) return candidate;
    candidate = stem + " (" + std::to_string(n) + ")" + ext;
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

// Sizes of the entries of a zip archive from its central directory, zip64 fields included;
// empty when the directory cannot be read.
struct EntrySizes {
  uint64_t size = 0;
  uint64_t packed = 0;
};

uint64_t le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool read_at(std::FILE* f, uint64_t offset, std::string& buf, size_t n) {
  buf.resize(n);
#ifdef _WIN32
  if (_fseeki64(f, static_cast<int64_t>(offset), SEEK_SET) != 0) return false;
#else
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
  return std::fread(buf.data(), 1, n, f) == n;
}

std::vector<EntrySizes> entry_sizes(const std::string& archive) {
  try {
    const auto length = static_cast<uint64_t>(fs::file_length(archive));
    fs::File f(archive, "rb");
    std::string tail;
    const size_t tail_size = static_cast<size_t>(std::min<uint64_t>(length, 65557));
    if (tail_size < 22 || !read_at(f.get(), length - tail_size, tail, tail_size)) return {};
    const auto end = tail.rfind(std::string("PK\5\6", 4));
    if (end == std::string::npos || end + 22 > tail.size()) return {};
    const auto* e = reinterpret_cast<const unsigned char*>(tail.data() + end);
    uint64_t count = le(e + 10, 2), dir_size = le(e + 12, 4), dir_offset = le(e + 16, 4);
    if (count == 0xFFFF || dir_size == 0xFFFFFFFF || dir_offset == 0xFFFFFFFF) {
      std::string rec;
      const uint64_t end_at = length - tail_size + end;
      if (end_at < 20 || !read_at(f.get(), end_at - 20, rec, 20) ||
          rec.compare(0, 4, std::string("PK\6\7", 4)) != 0) {
        return {};
      }
      const uint64_t z64 = le(reinterpret_cast<const unsigned char*>(rec.data()) + 8, 8);
      if (!read_at(f.get(), z64, rec, 56) || rec.compare(0, 4, std::string("PK\6\6", 4)) != 0) {
        return {};
      }
      const auto* z = reinterpret_cast<const unsigned char*>(rec.data());
      count = le(z + 32, 8);
      dir_size = le(z + 40, 8);
      dir_offset = le(z + 48, 8);
    }
    std::string dir;
    if (dir_size > (64u << 20) ||
        !read_at(f.get(), dir_offset, dir, static_cast<size_t>(dir_size))) {
      return {};
    }
    std::vector<EntrySizes> sizes;
    const auto* d = reinterpret_cast<const unsigned char*>(dir.data());
    for (size_t at = 0; sizes.size() < count;) {
      if (at + 46 > dir.size() || le(d + at, 4) != 0x02014b50) return {};
      EntrySizes s{le(d + at + 24, 4), le(d + at + 20, 4)};
      const size_t name = le(d + at + 28, 2), extra = le(d + at + 30, 2), note = le(d + at + 32, 2);
      if (at + 46 + name + extra + note > dir.size()) return {};
      // The zip64 field holds the sizes that did not fit, in this order.
      for (size_t x = at + 46 + name; x + 4 <= at + 46 + name + extra;) {
        const size_t id = le(d + x, 2), len = le(d + x + 2, 2);
        size_t field = x + 4;
        if (id == 1) {
          for (uint64_t* v : {&s.size, &s.packed}) {
            if (*v == 0xFFFFFFFF && field + 8 <= x + 4 + len) {
              *v = le(d + field, 8);
              field += 8;
            }
          }
        }
        x += 4 + len;
      }
      sizes.push_back(s);
      at += 46 + name + extra + note;
    }
    return sizes;
  } catch (...) {
    return {};
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
    "commands: connect | explorer [CAPTION] | mail SUBJECT | contact NAME | attach FILE |\n"
    "  send | read | close [mail|explorer] | button | check on|off | zip | startup-complete |\n"
    "  show outlook|about|startup|options | startup continue|line|logo|background|close |\n"
    "  fail CALL [TIMES] | stop-failing | log | stats | shutdown | disconnect |\n"
    "  options password [TEXT] | options min-saving N\n";

struct TypedPassword {
  std::string text;
};

class CoreLink final : public AddinLink {
 public:
  std::unique_ptr<host::Connection> create(SimOutlook&) override {
    return std::make_unique<Connect>();
  }
  const Counters& held(const SimOutlook& outlook) const override { return outlook.counters(); }
  bool windows_here() const override { return true; }
};

}  // namespace

void set_typed_password(std::string password) {
  CodeModule::wipe(program_state<TypedPassword>().text);
  program_state<TypedPassword>().text = std::move(password);
}

const std::string& typed_password() {
  return program_state<TypedPassword>().text;
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
    : out_(out), outbox_(std::move(outbox)), link_(std::move(link)) {}

SimSession::~SimSession() {
  // Nothing of ours may outlive the client it holds references to.
  if (connect_) attempt([&] { host_exit(); });
}

void SimSession::connect() {
  connect_ = link_->create(outlook_);
  try {
    connect_->OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin());
  } catch (...) {
    // As a host does: a connection that failed is dropped, never disconnected.
    connect_.reset();
    throw;
  }
}

void SimSession::host_exit() {
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

std::string SimSession::write_message(const SentMessage& message, std::vector<std::string>& names) {
  const auto outbox = as_path(outbox_);
  std::filesystem::create_directories(outbox);
  // Written whole into a folder of our own, then renamed into place: a failed write leaves no
  // cut copy, and a folder another run took meanwhile is never written into.
  const auto partial = private_folder(outbox);
  try {
    std::set<std::string> taken;
    for (const auto& a : message.attachments) {
      names.push_back(attachment_file_name(a.display_name, taken));
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
    if (a.display_name != "DD") continue;
    UnzipFiles list;
    list.ExtractList(1);
    const std::string archive = folder + kPathSep + names[i];
    if (list.Unzip(archive, folder) != 0) {
      out_ << "    (the archive could not be listed: " << list.GetLastMessage() << ")\n";
      continue;
    }
    // The library reports sizes in 32 bits; the central directory has them whole.
    const auto& entries = CodeModule::state().ListEntries;
    const auto sizes = entry_sizes(archive);
    for (size_t e = 0; e < entries.size(); ++e) {
      const bool whole = sizes.size() == entries.size();
      std::snprintf(line, sizeof line, "    %-38s %12" PRIu64 " bytes, packed %12" PRIu64 "\n",
                    entries[e].name.c_str(), whole ? sizes[e].size : entries[e].size,
                    whole ? sizes[e].packed : entries[e].packed_size);
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
  out_ << "Options: " << (options.ask_password ? "a password at each send" : "no password")
       << ", minimum saving " << options.min_saving << " %\n";
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

void SimSession::send_current() {
  const auto mail = current_mail();
  if (!mail) raise(err::kObjectRequired, "no message is open");
  const size_t before = outlook_.outbox().size();
  outlook_.reset_copy_ms();
  const auto start = std::chrono::steady_clock::now();
  outlook_.send(mail);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  for (const auto& f : outlook_.event_failures()) {
    out_ << "(the host saw a failure: " << f.description() << ")\n";
  }
  if (outlook_.outbox().size() == before) {
    out_ << "The send was cancelled; the message stays open.\n";
    ++cancelled_sends_;
    return;
  }
  print_sent(outlook_.outbox().back(), took.count());
}

bool SimSession::run(const std::string& line) {
  const auto w = words(line);
  if (w.empty() || w[0][0] == '#') return true;
  const std::string& cmd = w[0];
  try {
    if (cmd == "connect") {
      connect();
    } else if (cmd == "explorer") {
      const std::string caption = rest(line);
      outlook_.open_explorer(caption.empty() ? "Inbox - Microsoft Outlook" : caption);
    } else if (cmd == "mail") {
      const std::string subject = rest(line);
      mails_.push_back(outlook_.new_mail(subject));
      outlook_.open_inspector(mails_.back(), subject + " - Message (HTML)");
    } else if (cmd == "contact") {
      const std::string name = rest(line);
      outlook_.open_inspector(outlook_.new_item(40, name), name + " - Contact");
    } else if (cmd == "attach") {
      const auto mail = current_mail();
      if (!mail) raise(err::kObjectRequired, "no message is open");
      mail->attach_file(rest(line));
    } else if (cmd == "send") {
      send_current();
    } else if (cmd == "read") {
      const auto mail = current_mail();
      if (!mail) raise(err::kObjectRequired, "no message is open");
      outlook_.read(mail);
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
    } else if ((cmd == "check" || cmd == "zip" || cmd == "show" || cmd == "startup" ||
                cmd == "log" || cmd == "stats") &&
               !windows_reachable()) {
    } else if (cmd == "check" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
      auto& box = ui::touch<ui::frm_about>().parvex_chk;
      // A locked box takes no click, as on the screen.
      if (!box.enabled) raise(err::kPermissionDenied, "the setting is set by your administrator");
      box.value = w[1] == "on" ? 1 : 0;
    } else if (cmd == "zip") {
      ui::touch<ui::frm_outlook>().cmd_ZIP.click();
    } else if (cmd == "show" && w.size() == 2) {
      std::string view;
      if (w[1] == "outlook") {
        view = ui::draw(ui::touch<ui::frm_outlook>());
      } else if (w[1] == "about") {
        view = ui::draw(ui::touch<ui::frm_about>());
      } else if (w[1] == "options") {
        view = ui::draw(ui::touch<ui::frm_options>());
      } else if (w[1] == "startup" && ui::exists<ui::frm_ab>()) {
        view = ui::draw(ui::touch<ui::frm_ab>());
      } else if (w[1] == "startup") {
        view = "(the startup window is closed)";
      } else {
        raise(err::kInvalidCall, "no window " + w[1]);
      }
      out_ << view << (view.ends_with("\n") ? "" : "\n");
    } else if (cmd == "startup" && w.size() == 2) {
      if (!ui::exists<ui::frm_ab>()) raise(err::kObjectRequired, "the startup window is closed");
      auto& startup = ui::touch<ui::frm_ab>();
      if (w[1] == "continue") {
        startup.Command1.click();
      } else if (w[1] == "line") {
        startup.Label1.click();
      } else if (w[1] == "logo") {
        startup.Image1.click();
      } else if (w[1] == "background") {
        startup.click();
      } else if (w[1] == "close") {
        ui::close<ui::frm_ab>();
      } else {
        raise(err::kInvalidCall, "no such click on the startup window: " + w[1]);
      }
    } else if (cmd == "options" && w.size() >= 2) {
      set_option(w[1], rest(rest(line)));
    } else if (cmd == "startup-complete") {
      if (connect_) connect_->OnStartupComplete();
    } else if (cmd == "fail" && w.size() >= 2) {
      outlook_.fail(w[1], w.size() > 2 ? std::stoi(w[2]) : -1);
    } else if (cmd == "stop-failing") {
      outlook_.stop_failing();
    } else if (cmd == "log") {
      print_log();
    } else if (cmd == "stats") {
      print_statistics();
    } else if (cmd == "shutdown") {
      host_exit();
      print_held();
    } else if (cmd == "disconnect") {
      if (connect_) connect_->OnDisconnection(host::DisconnectMode::UserClosed);
      connect_.reset();
    } else {
      out_ << "unknown command: " << line << "\n" << kUsage;
      return false;
    }
  } catch (...) {
    out_ << "failed: " << line << ": " << current_failure().description() << "\n";
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

bool SimSession::send_files(const std::string& subject, const std::vector<std::string>& files) {
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
  if (!run("send")) return false;
  if (link_->windows_here()) {
    out_ << "\n";
    print_log();
  }
  out_ << "\n";
  return run("shutdown") && cancelled_sends_ == 0;
}

}  // namespace parvex::sim
