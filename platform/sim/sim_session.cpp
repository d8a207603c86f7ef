#include "sim/sim_session.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <istream>
#include <sstream>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "core/failure.h"
#include "platform/fs.h"
#include "platform/services.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
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

// A message's folder name: its number and subject, without characters folders refuse.
std::string folder_name(size_t number, const std::string& subject) {
  std::string name = std::to_string(number);
  if (!subject.empty()) name += " " + subject;
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 32 ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      c = '_';
  }
  return name;
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
    "  show outlook|about|startup | startup continue|line|logo|background|close |\n"
    "  fail CALL [TIMES] | stop-failing | log | stats | shutdown | disconnect\n";

class CoreLink final : public AddinLink {
 public:
  std::unique_ptr<host::Connection> create(SimOutlook&) override {
    return std::make_unique<Connect>();
  }
  const Counters& held(const SimOutlook& outlook) const override { return outlook.counters(); }
  bool windows_here() const override { return true; }
};

}  // namespace

std::unique_ptr<AddinLink> core_link() {
  return std::make_unique<CoreLink>();
}

SimSession::SimSession(std::ostream& out, std::string outbox, std::unique_ptr<AddinLink> link)
    : out_(out), outbox_(std::move(outbox)), link_(std::move(link)) {}

SimSession::~SimSession() {
  // Nothing of ours may outlive the client it holds references to.
  if (connect_) attempt([&] { host_exit(); });
}

void SimSession::connect() {
  connect_ = link_->create(outlook_);
  connect_->OnConnection(outlook_.application(), host::ConnectMode::Startup, outlook_.addin());
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

std::string SimSession::write_message(const SentMessage& message) {
  std::filesystem::create_directories(as_path(outbox_));
  size_t number = 1;
  std::filesystem::path folder;
  do {
    folder = as_path(outbox_) / as_path(folder_name(number++, message.subject));
  } while (std::filesystem::exists(folder));
  std::filesystem::create_directories(folder);
  for (const auto& a : message.attachments) {
    std::string name = a.display_name;
    // The archive's display name has no extension; an unzip tool is happier with one.
    if (name == "DD") name += ".zip";
    fs::File f(as_utf8(folder / as_path(name)), "wb");
    f.write(a.bytes);
    f.close();
  }
  written_.push_back(as_utf8(folder));
  return as_utf8(folder);
}

void SimSession::print_sent(const SentMessage& message, double milliseconds) {
  const std::string folder = write_message(message);
  out_ << "Sent \"" << message.subject << "\" with " << message.attachments.size()
       << " attachment(s):\n";
  char line[512];
  for (const auto& a : message.attachments) {
    std::snprintf(line, sizeof line, "  %-40s %12zu bytes\n", a.display_name.c_str(),
                  a.bytes.size());
    out_ << line;
    if (a.display_name != "DD") continue;
    UnzipFiles list;
    list.ExtractList(1);
    const std::string archive = folder + kPathSep + "DD.zip";
    if (list.Unzip(archive, folder) != 0) {
      out_ << "    (the archive could not be listed: " << list.GetLastMessage() << ")\n";
      continue;
    }
    for (const auto& e : CodeModule::state().ListEntries) {
      std::snprintf(line, sizeof line, "    %-38s %12u bytes, packed %12u\n", e.name.c_str(),
                    e.size, e.packed_size);
      out_ << line;
    }
  }
  std::snprintf(line, sizeof line, "Send took %.1f ms; saved in %s\n", milliseconds,
                folder.c_str());
  out_ << line;
  if (link_->windows_here()) print_statistics();
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
  const auto start = std::chrono::steady_clock::now();
  outlook_.send(mail);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  for (const auto& f : outlook_.event_failures()) {
    out_ << "(the host saw a failure: " << f.description() << ")\n";
  }
  if (outlook_.outbox().size() == before) {
    out_ << "The send was cancelled; the message stays open.\n";
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
      ui::touch<ui::frm_about>().parvex_chk.value = w[1] == "on" ? 1 : 0;
    } else if (cmd == "zip") {
      ui::touch<ui::frm_outlook>().cmd_ZIP.click();
    } else if (cmd == "show" && w.size() == 2) {
      std::string view;
      if (w[1] == "outlook") {
        view = ui::draw(ui::touch<ui::frm_outlook>());
      } else if (w[1] == "about") {
        view = ui::draw(ui::touch<ui::frm_about>());
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
  return run("shutdown");
}

}  // namespace parvex::sim
