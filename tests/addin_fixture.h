// What most suites start from: scripted services over a fresh temporary add-in folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "addin/assembly.h"
#include "addin/connect.h"
#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "core/program_state.h"
#include "recording/recording_client.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"
#include "sim/sim_outlook.h"
#include "ui/frm_outlook.h"

namespace parvex::testing {

// The scripted clock's time as the event log writes it.
inline const std::string kStamp = "12/6/2026 9:05:03 AM";
inline std::string line(const std::string& text) {
  return kStamp + " - " + text;
}

inline std::filesystem::path as_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Our built zip and unzip libraries beside the add-in, where it loads them from.
inline void copy_libraries(const std::string& folder) {
  for (const char* base : {"zip32", "unzip32"}) {
    std::filesystem::copy_file(as_path(program_folder() + kPathSep + library_file_name(base)),
                               as_path(folder + kPathSep + library_file_name(base)),
                               std::filesystem::copy_options::skip_existing);
  }
}

using Files = std::map<std::string, std::string>;  // name -> bytes

// The files directly in a folder, none when it is missing.
inline Files files_in(const std::string& folder) {
  Files files;
  // Hidden ones too: wine hides every name with a leading dot.
  for (const auto& name :
       fs::is_folder(folder) ? fs::list_entries(folder) : std::vector<std::string>{}) {
    const std::string path = folder + kPathSep + name;
    if (fs::is_file(path) && !fs::is_link(path)) files[name] = read_file(path);
  }
  return files;
}

// The entries of an archive as our unzip library lists them.
inline std::vector<CodeModule::ModuleState::ListedEntry> listing(const std::string& archive) {
  UnzipFiles list;
  list.ExtractList(1);
  EXPECT_EQ(list.Unzip(archive, "."), 0);
  return CodeModule::state().ListEntries;
}

// One host run: the add-in connected to a simulated client with a main window open.
struct Session {
  Session() {
    outlook.open_explorer("Inbox");
    connect.OnConnection(outlook.application(), host::ConnectMode::Startup, outlook.addin());
  }
  ~Session() {
    connect.OnBeginShutdown();
    connect.OnDisconnection(host::DisconnectMode::HostShutdown);
  }
  std::shared_ptr<sim::SimItem> open_mail(const std::string& subject, const Files& files) {
    auto mail = outlook.new_mail(subject);
    for (const auto& [name, bytes] : files) mail->attach_bytes(name, bytes);
    outlook.open_inspector(mail, subject + " - Message");
    return mail;
  }
  // What left; nothing when the send was cancelled.
  sim::SentMessage send(const std::string& subject, const Files& files) {
    const size_t before = outlook.outbox().size();
    outlook.send(open_mail(subject, files));
    return outlook.outbox().size() == before ? sim::SentMessage{} : outlook.outbox().back();
  }

  sim::SimOutlook outlook;
  Connect connect;
};

class AddinTest : public ::testing::Test {
 protected:
  AddinTest() {
    services.folder = dir.path();
    assemble();
  }
  ~AddinTest() override { ProgramState::reset(); }

  static std::vector<std::string> log() { return ui::touch<ui::frm_outlook>().list_log.items; }
  static void clear_log() { ui::touch<ui::frm_outlook>().list_log.Clear(); }

  TempFolder dir;
  ScriptedServices services;
  ScopedServices scope{services};
};

// With a simulated host, which the program state must let go of before the host goes.
class HostTest : public AddinTest {
 protected:
  ~HostTest() override { ProgramState::reset(); }

  sim::SimOutlook outlook_;
};

}  // namespace parvex::testing
