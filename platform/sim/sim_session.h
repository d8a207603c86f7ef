// One run of the simulated mail client with the add-in connected through Connect, as parvex-sim
// drives it: windows open and close, real files are attached, items are sent, and what left is
// printed and written to an outbox folder, one folder per message.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "sim/sim_outlook.h"

namespace parvex::sim {

class SimSession {
 public:
  // outbox: folder that receives each sent message's attachments (created when needed).
  SimSession(std::ostream& out, std::string outbox);
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
  bool send_files(const std::string& subject, const std::vector<std::string>& files);

  SimOutlook& outlook() { return outlook_; }
  const std::vector<std::string>& written_messages() const { return written_; }

 private:
  void connect();
  void host_exit();
  void send_current();
  void print_sent(const SentMessage& message, double milliseconds);
  void print_log();
  void print_statistics();
  std::string write_message(const SentMessage& message);
  std::shared_ptr<SimItem> current_mail() const;

  std::ostream& out_;
  std::string outbox_;
  SimOutlook outlook_;
  std::unique_ptr<Connect> connect_;
  std::vector<std::shared_ptr<SimItem>> mails_;  // opened, oldest first
  std::vector<std::string> written_;
};

}  // namespace parvex::sim
