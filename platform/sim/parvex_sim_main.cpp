// parvex-sim: the add-in's trackers connected to the simulated mail client. It opens a main
// window and message windows, attaches real files, sends, closes everything and prints what
// left and the event log. With --windows it prints the add-in's windows instead.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/services.h"
#include "sim/sim_outlook.h"
#include "tracking/trackers.h"
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_outlook.h"
#include "ui/headless_view.h"

namespace {

std::vector<std::string> default_files() {
  std::vector<std::string> files;
  for (const char* candidate : {"/usr/share/common-licenses/GPL-3", "/usr/bin/cmake",
                                "/usr/share/doc/zlib1g/copyright", "/etc/services"}) {
    if (parvex::fs::is_file(candidate)) files.emplace_back(candidate);
  }
  return files;
}

std::string human(size_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zu bytes", bytes);
  return buf;
}

// The three windows as the headless view draws them, before they load: loading the about
// window would read and create the statistics file.
int print_windows() {
  using namespace parvex;
  const ui::FrmOutlook zip_window;
  const ui::FrmAbout about;
  const ui::FrmAb startup;
  std::printf("%s\n%s\n%s", ui::draw(zip_window).c_str(), ui::draw(about).c_str(),
              ui::draw(startup).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace parvex;
  if (argc == 2 && std::string(argv[1]) == "--windows") return print_windows();
  std::vector<std::string> files(argv + 1, argv + argc);
  if (files.empty()) files = default_files();

  sim::SimOutlook outlook;
  {
    clsOutlookExplorerEvents explorers;
    clsOutlookInspectorEvents inspectors;
    explorers.Init(outlook.application());
    inspectors.Init(outlook.application());

    const auto inbox = outlook.open_explorer("Inbox - Microsoft Outlook");
    outlook.raise_startup();
    const auto contact = outlook.new_item(40, "Ana Pop");
    outlook.close(outlook.open_inspector(contact, "Ana Pop - Contact"));

    const auto mail = outlook.new_mail("Quarterly report");
    for (const auto& f : files) {
      try {
        mail->attach_file(f);
      } catch (const Failure& e) {
        std::fprintf(stderr, "cannot attach %s: %s\n", f.c_str(), e.description().c_str());
        return 2;
      }
    }
    outlook.open_inspector(mail, "Quarterly report - Message (HTML)");
    const bool tracked = inspectors.objMailItem() != nullptr;
    outlook.send(mail);  // its window closes once it has left

    std::printf("Sent items (the message was %s by the add-in):\n",
                tracked ? "tracked" : "not tracked");
    for (const auto& m : outlook.outbox()) {
      std::printf("  \"%s\" with %zu attachment(s)\n", m.subject.c_str(), m.attachments.size());
      size_t total = 0;
      for (const auto& a : m.attachments) {
        std::printf("    %-40s %s\n", a.display_name.c_str(), human(a.bytes.size()).c_str());
        total += a.bytes.size();
      }
      std::printf("    %-40s %s\n", "total", human(total).c_str());
    }
    std::printf(
        "(Attachments are packed on send once the send path is in place; until then the "
        "message leaves as it was.)\n\n");

    outlook.close(inbox);
    inspectors.Shutdown();
    explorers.Shutdown();
  }

  std::printf("Event log:\n");
  for (const auto& line : ui::touch<ui::FrmOutlook>().list_log.items) {
    std::printf("  %s\n", line.c_str());
  }
  ProgramState::reset();
  std::printf("\nHost references still held: %lld, subscriptions still open: %lld\n",
              static_cast<long long>(outlook.counters().references),
              static_cast<long long>(outlook.counters().subscriptions));
  return 0;
}
