// One run of the simulated mail client with the add-in connected, as parvex-sim drives it:
// windows open and close, real files are attached, items are sent, and what left is printed and
// written to an outbox folder, one folder per message.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "seams/services.h"
#include "sim/sim_outlook.h"
#include "sim/sim_ribbon.h"
#include "support/options.h"

namespace parvex::sim {

// How the add-in reaches the client: its core in this process through the C++ host seam
// (core_link), or Parvex.dll through COM (com_link, Windows).
class AddinLink {
 public:
  virtual ~AddinLink() = default;
  // A new connection object, as the host creates one for each connection.
  virtual std::unique_ptr<host::Connection> create(SimOutlook& outlook) = 0;
  // The references and subscriptions the add-in holds, as this link counts them.
  virtual const Counters& held(const SimOutlook& outlook) const = 0;
  // Whether the add-in's windows are this process's window models.
  virtual bool windows_here() const = 0;
};

std::unique_ptr<AddinLink> core_link();

// What the simulated user types when the add-in asks for a send's password (empty: nothing).
// "options password TEXT" sets it; parvex-sim's services answer with it.
void set_typed_password(std::string password);
const std::string& typed_password();
// What the simulated user does in the next password box instead ("answer cancel", "answer
// unprotected"): the password box's answer, consumed by that box; nullopt types the password.
std::optional<PasswordAnswer::Choice> take_password_choice();

// Where "options" lines store the options: the settings file in the add-in folder, or on
// Windows the user's registry key.
std::string options_store();
// The options as one line of the session's output: "a password at each send, minimum saving 5 %".
std::string describe(const Options& options);

// Puts our two libraries from the folder from into the add-in folder to, each through a copy of
// this run's own that is renamed over the old one: another run installing at the same moment,
// or one that has the old copy loaded, never sees a half-written library, and a failed copy
// leaves nothing behind.
void install_libraries(const std::filesystem::path& from, const std::filesystem::path& to);

// parvex-sim's services call this each time the add-in lets window events run: a session
// measuring the gaps (SimSession::measure_gaps) closes one there.
void events_pumped();

class SimSession {
 public:
  // outbox: folder that receives each sent message's attachments (created when needed).
  SimSession(std::ostream& out, std::string outbox, std::unique_ptr<AddinLink> link = core_link());
  ~SimSession();
  SimSession(const SimSession&) = delete;
  SimSession& operator=(const SimSession&) = delete;

  // Runs one script line; prints what it did. Returns false (after printing why) on a line
  // that could not be run. Blank lines and lines starting with '#' do nothing.
  bool run(const std::string& line);
  // Runs every line of a script; stops at the first failing line. Returns whether all ran.
  bool run_script(std::istream& in);

  // The whole main job: connect, open a main window and a message, attach, send, print what
  // left and the event log, then close and disconnect as a host exit would.
  // inline_files: pictures the HTML body shows.
  bool send_files(const std::string& subject, const std::vector<std::string>& files,
                  const std::vector<std::string>& inline_files = {});

  // Draws each send's progress on standard error, as the progress window shows it.
  void show_progress_on_terminal(bool on) { terminal_progress_ = on; }
  // After each send, prints the longest time the add-in went without letting window events run,
  // and apart from it the longest copy the client made for it in one such gap.
  void measure_gaps(bool on) { measure_gaps_ = on; }

  SimOutlook& outlook() { return outlook_; }
  // Whether the client asks the add-in for its ribbons, as every host since the ribbon does (on
  // by default); off, it is an older host, which only has command bars.
  void ask_for_ribbons(bool on) { ribbons_ = on; }
  SimRibbon& ribbon() { return ribbon_; }
  const std::vector<std::string>& written_messages() const { return written_; }
  // Sends the handlers cancelled: the program ends in failure when there was one.
  int cancelled_sends() const { return cancelled_sends_; }

 private:
  void connect();
  // "ribbon", "ribbon click LABEL", "ribbon toggle LABEL".
  void ribbon_line(const std::vector<std::string>& words, const std::string& line);
  void attach(SimItem& mail, const std::string& cmd, const std::string& args);
  void host_exit();
  bool run_client_line(const std::string& line, const std::vector<std::string>& w);
  bool run_addin_line(const std::string& line, const std::vector<std::string>& w);
  bool run_host_line(const std::vector<std::string>& w);
  void show_window(const std::string& name);
  void click_startup(const std::string& what);
  void send_mail(const std::shared_ptr<SimItem>& mail);
  void print_sent(const SentMessage& message, double milliseconds);
  void print_log();
  void print_statistics();
  // "options NAME VALUE": stores the option as the Options window does.
  void set_option(const std::string& name, const std::string& value);
  void print_held();
  // False, after a note, when the add-in's windows are in another module.
  bool windows_reachable();
  // Writes the message's folder whole or not at all; names: the file of each attachment.
  std::string write_message(const SentMessage& message, std::vector<std::string>& names);
  std::shared_ptr<SimItem> current_mail() const;
  // The unsent message written under that subject, the latest one.
  std::shared_ptr<SimItem> open_mail(const std::string& subject) const;
  static std::shared_ptr<SimItem> required_mail(std::shared_ptr<SimItem> mail);

  std::ostream& out_;
  std::string outbox_;
  std::unique_ptr<AddinLink> link_;  // outlives the client: a module it loaded stays loaded
  SimOutlook outlook_;
  std::unique_ptr<host::Connection> connect_;
  SimRibbon ribbon_{outlook_};  // the connection's ribbons; unloaded before it goes
  bool ribbons_ = true;
  std::vector<std::shared_ptr<SimItem>> mails_;  // opened, oldest first
  std::vector<std::string> written_;
  int cancelled_sends_ = 0;
  bool terminal_progress_ = false;
  bool measure_gaps_ = false;
};

}  // namespace parvex::sim
