// parvex-sim: the simulated mail client with the add-in connected: its core in this process, or
// on Windows Parvex.dll beside this program through COM (--in-process: the core here instead;
// --registered: the Parvex.dll registered for this user, as an installed package left it, with
// the zip libraries beside it).
//   parvex-sim send [--subject S] [--addin-folder DIR] [--outbox DIR] [--in-process|--registered]
//                   [--password-file FILE|-] [--password TEXT] [--min-saving N] [--store-options]
//                   [--inline FILE]... [--host PERSONALITY] [FILE...]
//   parvex-sim script [--addin-folder DIR] [--outbox DIR] [--in-process|--registered] FILE|-
//   (both: [--policy-file FILE] instead of the platform's policies; [--gaps] prints after each
//   send the longest time the add-in let no window events run)
//   parvex-sim --windows        the add-in's five windows as the headless view draws them
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "archive/code_module.h"
#include "codepage.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/library.h"
#include "seams/native_services.h"
#include "seams/services.h"
#include "sim/sim_session.h"
#include "support/options.h"
#include "support/settings_files.h"
#include "wipe.h"
#ifdef _WIN32
#include "sim/sim_com.h"
#include "text_win32.h"
#include "win32_handles.h"
#endif
#include "ui/frm_ab.h"
#include "ui/frm_about.h"
#include "ui/frm_options.h"
#include "ui/frm_outlook.h"
#include "ui/frm_progress.h"
#include "ui/headless_view.h"

namespace {

namespace stdfs = std::filesystem;
using parvex::sim::as_path;
using parvex::sim::as_utf8;

// The native services with the add-in folder moved to where the user's data lives.
class SimServices final : public parvex::Services {
 public:
  explicit SimServices(std::string folder)
      : native_(parvex::make_native_services()), folder_(std::move(folder)) {}
  parvex::MsgAnswer message_box(const std::string& text, parvex::MsgButtons buttons,
                                parvex::MsgIcon icon, const std::string& caption) override {
    return native_->message_box(text, buttons, icon, caption);
  }
  std::string input_box(const std::string& prompt, const std::string& caption,
                        const std::string& default_answer) override {
    return native_->input_box(prompt, caption, default_answer);
  }
  // The user pressing the button the script chose, or typing the password given to parvex-sim
  // (twice, as the box asks).
  parvex::PasswordAnswer password_box(const std::string& prompt,
                                      const std::string& caption) override {
    using Choice = parvex::PasswordAnswer::Choice;
    parvex::PasswordAnswer answer;
    if (const auto choice = parvex::sim::take_password_choice()) {
      answer.choice = *choice;
      std::fprintf(stderr, "[password box] %s: %s\n", prompt.c_str(),
                   *choice == Choice::cancel ? "Cancel" : "Send without password");
      return answer;
    }
    if (parvex::sim::typed_password().empty()) return native_->password_box(prompt, caption);
    std::fprintf(stderr, "[password box] %s: answered\n", prompt.c_str());
    answer.choice = Choice::password;
    answer.password = parvex::sim::typed_password();
    return answer;
  }
  void do_events() override {
    parvex::sim::events_pumped();
    native_->do_events();
  }
  void set_clipboard_text(const std::string& text) override { native_->set_clipboard_text(text); }
  void shell_execute(const parvex::ShellExecuteArgs& args) override {
    native_->shell_execute(args);
  }
  std::string addin_folder() override { return folder_; }
  // Where the zip libraries are loaded from to read an archive back: the add-in folder, or the
  // folder of the registered DLL.
  std::string library_folder() override {
    return library_folder_.empty() ? folder_ : library_folder_;
  }
  void set_library_folder(std::string folder) { library_folder_ = std::move(folder); }
  uint32_t last_system_error() override { return native_->last_system_error(); }
  parvex::LocalTime now() override { return native_->now(); }
  std::string general_date(const parvex::LocalTime& t) override { return native_->general_date(t); }
  parvex::NumberSeparators number_separators() override { return native_->number_separators(); }
  // The platform's own store, so that an add-in in another module reads what was set here (or
  // the settings file of this folder). Options given for this run only come first; nothing
  // stores them.
  bool keeps_settings() override { return true; }
  std::optional<std::string> read_setting(const std::string& name) override {
    if (const auto one_off = one_off_.find(name); one_off != one_off_.end()) return one_off->second;
    return native_->keeps_settings() ? native_->read_setting(name)
                                     : parvex::read_file_setting(name);
  }
  void set_one_off(const std::string& name, std::string value) {
    one_off_[name] = std::move(value);
  }
  void write_setting(const std::string& name, const std::string& value) override {
    if (native_->keeps_settings()) {
      native_->write_setting(name, value);
    } else {
      parvex::write_file_setting(name, value);
    }
  }
  // The platform's policies, or those of the file --policy-file named.
  bool keeps_policies() override { return policy_file_.empty() && native_->keeps_policies(); }
  std::optional<std::string> read_policy(parvex::PolicyScope scope, const std::string& name,
                                         parvex::PolicyKind kind) override {
    return native_->read_policy(scope, name, kind);
  }
  std::string policy_file() override {
    return policy_file_.empty() ? native_->policy_file() : policy_file_;
  }
  void set_policy_file(std::string path) { policy_file_ = std::move(path); }

 private:
  std::unique_ptr<parvex::Services> native_;
  std::string folder_;
  std::string library_folder_;
  std::string policy_file_;
  std::map<std::string, std::string> one_off_;
};

stdfs::path program_folder(const char* argv0) {
#ifdef __linux__
  std::error_code ec;
  const auto exe = stdfs::read_symlink("/proc/self/exe", ec);
  if (!ec) return exe.parent_path();
#endif
  return stdfs::absolute(as_path(argv0)).parent_path();
}

// An environment variable as UTF-8 text; nothing when unset.
std::optional<std::string> environment(const char* name) {
#ifdef _WIN32
  // The C runtime's copy of the environment is in the ANSI code page.
  const std::wstring wide_name = parvex::win::widen(name);
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size != 0) {
    std::wstring value(size, L'\0');
    value.resize(std::min(GetEnvironmentVariableW(wide_name.c_str(), value.data(), size), size));
    return parvex::win::narrow(value);
  }
#else
  if (const char* value = std::getenv(name)) return value;
#endif
  return std::nullopt;
}

// The per-user data folder that stands in for the folder beside the DLL. On Windows HOME, where
// set, is a Unix shell's (wine passes it on): APPDATA alone.
std::string default_addin_folder() {
#ifndef _WIN32
  if (const auto data = environment("XDG_DATA_HOME"); data && !data->empty()) {
    return as_utf8(as_path(*data) / "parvex");
  }
  if (const auto home = environment("HOME"); home && !home->empty()) {
    return as_utf8(as_path(*home) / ".local" / "share" / "parvex");
  }
#endif
  if (const auto appdata = environment("APPDATA"); appdata && !appdata->empty()) {
    return as_utf8(as_path(*appdata) / "Parvex");
  }
  return "parvex-data";
}

std::vector<std::string> default_files() {
  std::vector<std::string> files;
  for (const char* candidate : {"/usr/share/common-licenses/GPL-3", "/usr/bin/cmake",
                                "/usr/share/doc/zlib1g/copyright", "/etc/services"}) {
    if (parvex::fs::is_file(candidate)) files.emplace_back(candidate);
  }
  return files;
}

// The five windows before they load: loading the about window would read and create the
// statistics file, and the options window reads the settings.
int print_windows() {
  using namespace parvex;
  const ui::frm_outlook zip_window;
  const ui::frm_about about;
  const ui::frm_ab startup;
  const ui::frm_options options;
  const ui::frm_progress progress;
  std::printf("%s\n%s\n%s\n%s\n%s", ui::draw(zip_window).c_str(), ui::draw(about).c_str(),
              ui::draw(startup).c_str(), ui::draw(options).c_str(), ui::draw(progress).c_str());
  return 0;
}

// The password the simulated user types, from --password TEXT, --password-file FILE (its first
// line; "-" reads standard input) or PARVEX_PASSWORD. An empty one is refused: the send was
// asked to be protected.
bool read_password(const std::string& from, const std::string& value,
                   std::optional<std::string>* out) {
  std::string text = value;
  if (from == "--password-file") {
    std::ifstream file;
    if (value != "-") file.open(as_path(value), std::ios::binary);
    std::istream& in = value == "-" ? std::cin : file;
    if (!in || !std::getline(in, text)) {
      std::fprintf(stderr, "parvex-sim: cannot read a password from %s\n", value.c_str());
      return false;
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    // An editor's byte-order mark is no part of what the user typed.
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  }
  // Other tools derive the key from the UTF-8 bytes: a NUL would cut it short in some, and
  // bytes of another code page would give another key than the password as typed.
  if (text.find('\0') != std::string::npos) {
    std::fprintf(stderr, "parvex-sim: %s gives a password holding a NUL byte\n", from.c_str());
    return false;
  }
  if (!pvx::is_utf8(text)) {
    std::fprintf(stderr,
                 "parvex-sim: %s gives a password that is not UTF-8 text (saved in another "
                 "code page?): save it as UTF-8\n",
                 from.c_str());
    return false;
  }
  if (text.empty()) {
    std::fprintf(stderr, "parvex-sim: %s gives an empty password\n", from.c_str());
    return false;
  }
  if (*out) pvx::wipe(**out);
  *out = std::move(text);
  return true;
}

int usage(std::FILE* to = stderr, int code = 2) {
  std::fprintf(to,
               "usage: parvex-sim send [--subject S] [--addin-folder DIR] [--outbox DIR] "
               "[--in-process|--registered]\n"
               "                       [--password-file FILE|-] [--password TEXT] [--min-saving N]"
               " [--store-options]\n"
               "                       [--inline FILE]... [--host PERSONALITY] [FILE...]\n"
               "       parvex-sim script [--addin-folder DIR] [--outbox DIR] "
               "[--in-process|--registered] FILE|-\n"
               "       parvex-sim --windows\n"
               "--policy-file FILE reads the administrator's policies from FILE instead of the "
               "platform's\n(%s, or on Windows the policy keys of the registry).\n"
               "The password options and --min-saving apply to this run only (a password is typed "
               "only into an\nadd-in in this process: --in-process on Windows); --store-options "
               "stores them as the Options\nwindow does. PARVEX_PASSWORD stands in for the "
               "password options; --password shows the password\nto every user of the machine.\n"
               "--inline attaches a picture the message's HTML body shows.\n"
               "--host makes the client hand out attachments as a host may: kind, fresh-objects,\n"
               "index-bound, ole-until-saved, rtf-positions or reused-numbers.\n"
               "--gaps prints after each send the longest time the add-in let no window events "
               "run.\n"
               "A folder, device or pipe is refused as a file; the exit code is 0 when every "
               "step ran and no send was cancelled, 1 otherwise, 2 for a wrong command line.\n",
               parvex::kPolicyFile);
  return code;
}

// What the command line asks for.
struct Command {
  std::string mode;
  std::string subject = "Quarterly report";
  std::string folder = default_addin_folder();
  std::string outbox;
  std::string policy_file;
  std::vector<std::string> option_lines;  // script lines run before the send
  std::optional<std::string> password;
  std::vector<std::string> args;
  std::vector<std::string> inline_files;
  bool in_process = false;
  bool registered = false;
  bool gaps = false;
  bool store_options = false;
  bool one_off = false;  // a password or minimum saving for this run only
  std::optional<int32_t> min_saving;
};

// The value after option i, or nothing (after a note) when there is none.
const char* option_value(int argc, char** argv, int& i) {
  if (i + 1 < argc) return argv[++i];
  std::fprintf(stderr, "parvex-sim: %s needs a value\n", argv[i]);
  return nullptr;
}

// Reads the options after the mode into c; an exit code when the program ends here.
std::optional<int> parse_options(int argc, char** argv, Command& c) {
  const bool send = c.mode == "send";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      return usage(stdout, 0);
    } else if (a == "--in-process" || a == "--registered" || a == "--gaps") {
      (a == "--in-process" ? c.in_process : a == "--registered" ? c.registered : c.gaps) = true;
    } else if (send && a == "--store-options") {
      c.store_options = true;
    } else if (a == "--subject" || a == "--addin-folder" || a == "--outbox" ||
               a == "--policy-file") {
      const char* v = option_value(argc, argv, i);
      if (!v) return usage();
      (a == "--subject"        ? c.subject
       : a == "--addin-folder" ? c.folder
       : a == "--outbox"       ? c.outbox
                               : c.policy_file) = v;
    } else if (send && (a == "--inline" || a == "--min-saving" || a == "--host")) {
      const char* v = option_value(argc, argv, i);
      if (!v) return usage();
      if (a == "--inline") {
        c.inline_files.emplace_back(v);
      } else if (a == "--host") {
        c.option_lines.push_back("host " + std::string(v));
      } else {
        int32_t value = 0;
        if (!parvex::parse_min_saving(v, value)) {
          std::fprintf(stderr,
                       "parvex-sim: the minimum saving is a whole percent from 0 to 99: %s\n", v);
          return usage();
        }
        c.min_saving = value;
      }
    } else if (send && (a == "--password" || a == "--password-file")) {
      if (i + 1 == argc || !read_password(a, argv[++i], &c.password)) return usage();
      // Out of the process list from now on; it was there until this line.
      if (a == "--password") std::memset(argv[i], '*', std::strlen(argv[i]));
    } else if (a == "--") {
      c.args.insert(c.args.end(), argv + i + 1, argv + argc);
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      // Not a file name: a mistyped option must not be attached.
      std::fprintf(stderr, "parvex-sim: unknown option %s\n", a.c_str());
      return usage();
    } else {
      c.args.push_back(a);
    }
  }
  if (c.mode == "script" && c.args.size() != 1) return usage();
  return std::nullopt;
}

// Settles what the options leave open: a full add-in folder, the password from the
// environment, the outbox. An exit code when the program ends here.
std::optional<int> complete(Command& c) {
#ifndef _WIN32
  // The add-in folder stands for the DLL's, a full path: the zip library packs from another
  // current folder, where a relative one leads nowhere and every send would go unpacked.
  if (std::error_code error; !c.folder.empty()) {
    const stdfs::path full = stdfs::absolute(as_path(c.folder), error);
    if (!error) c.folder = as_utf8(full);
  }
#endif
  if (const auto env = environment("PARVEX_PASSWORD"); c.mode == "send" && !c.password && env) {
    if (!read_password("PARVEX_PASSWORD", *env, &c.password)) return usage();
  }
  if (c.store_options) {
    if (c.min_saving)
      c.option_lines.push_back("options min-saving " + std::to_string(*c.min_saving));
    if (c.password) c.option_lines.push_back("options password " + *c.password);
  }
  if (c.outbox.empty()) c.outbox = as_utf8(as_path(c.folder) / "Outbox");
  return std::nullopt;
}

// How the client reaches the add-in, and the line that says so; nothing after a note when it
// cannot. The archives that left are read back with the registered DLL's own libraries.
std::unique_ptr<parvex::sim::AddinLink> make_link(const Command& c, SimServices& services,
                                                  std::string& addin) {
  addin = "Add-in folder: " + c.folder;
#ifdef _WIN32
  if (!c.in_process) {
    std::wstring dll = L"Parvex.dll";
    try {
      dll = c.registered ? parvex::sim::registered_dll() : parvex::sim::dll_beside_program();
      addin = "Add-in: " + parvex::win::narrow(dll) + (c.registered ? " as registered" : "") +
              " through COM";
      if (c.registered) services.set_library_folder(as_utf8(stdfs::path(dll).parent_path()));
      return parvex::sim::com_link(c.registered ? L"" : dll);
    } catch (...) {
      std::fprintf(stderr, "cannot attach %s: %s\n", parvex::win::narrow(dll).c_str(),
                   parvex::current_failure().description().c_str());
      return nullptr;
    }
  }
#else
  (void)services;
#endif
  return parvex::sim::core_link();
}

// The send or the script; whether every step ran and no send was cancelled.
bool run_session(Command& c, std::unique_ptr<parvex::sim::AddinLink> link,
                 const std::string& addin) {
  parvex::sim::SimSession session(std::cout, c.outbox, std::move(link));
  session.measure_gaps(c.gaps);
  // A person watching the send sees how far the packing got; a pipe or a file gets nothing.
  session.show_progress_on_terminal(c.mode == "send" && isatty(fileno(stderr)));
  std::cout << addin << "\n";
  if (c.one_off) {
    std::cout << "Options for this run only (not stored): "
              << parvex::sim::describe(parvex::read_options()) << "\n";
  }
  if (c.mode == "send") {
    if (c.args.empty() && c.inline_files.empty()) c.args = default_files();
    bool ok = true;
    for (std::string& line : c.option_lines) {
      ok = ok && session.run(line);
      ::pvx::wipe(line);
    }
    return ok && session.send_files(c.subject, c.args, c.inline_files);
  }
  bool ok = false;
  if (c.args[0] == "-") {
    ok = session.run_script(std::cin);
  } else {
    std::ifstream in(as_path(c.args[0]));
    if (!in) {
      std::fprintf(stderr, "parvex-sim: cannot read the script %s\n", c.args[0].c_str());
      return false;
    }
    ok = session.run_script(in);
  }
  return ok && session.cancelled_sends() == 0;
}

#ifdef _WIN32
// The command line as typed, in UTF-8: the ANSI one has a question mark for every character the
// code page lacks, and a file named so is never found. Empty when it cannot be had.
std::vector<std::string> wide_arguments() {
  int count = 0;
  const pvx::win::unique_hlocal<LPWSTR*> args(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> utf8;
  for (int i = 0; args && i < count; ++i) utf8.push_back(parvex::win::narrow(args.get()[i]));
  return utf8;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  std::vector<std::string> typed = wide_arguments();
  std::vector<char*> typed_argv;
  for (std::string& a : typed) typed_argv.push_back(a.data());
  typed_argv.push_back(nullptr);
  if (!typed.empty()) {
    argc = static_cast<int>(typed.size());
    argv = typed_argv.data();
  }
#endif
  parvex::set_native_services(&parvex::make_native_services);
  if (argc < 2) return usage();
  Command c;
  c.mode = argv[1];
  if (c.mode == "--help" || c.mode == "-h") return usage(stdout, 0);
  if (c.mode == "--windows" && argc == 2) return print_windows();
  if (c.mode != "send" && c.mode != "script") {
    std::fprintf(stderr, "parvex-sim: unknown command %s\n", c.mode.c_str());
    return usage();
  }
  if (const auto code = parse_options(argc, argv, c)) return *code;
  if (const auto code = complete(c)) return *code;
  // Opened, a folder reads as an empty script: a run that did nothing would look like success.
  if (std::error_code ec; c.mode == "script" && stdfs::is_directory(as_path(c.args[0]), ec)) {
    std::fprintf(stderr, "parvex-sim: %s is a folder, not a script\n", c.args[0].c_str());
    return 1;
  }
#ifdef _WIN32
  const bool registered_dll = c.registered && !c.in_process;
#else
  const bool registered_dll = false;  // the core is the only add-in here
#endif
  try {
    // A registered DLL's libraries are used where they lie.
    if (!registered_dll) parvex::sim::install_libraries(program_folder(argv[0]), as_path(c.folder));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot prepare the add-in folder %s: %s\n", c.folder.c_str(), e.what());
    return 1;
  }
  SimServices services(c.folder);
  services.set_policy_file(c.policy_file);
  parvex::set_services(&services);
  std::string addin;
  auto link = make_link(c, services, addin);
  if (!link) return 1;
  // Options for this run only live in this process's services: an add-in elsewhere reads the
  // stored ones.
  c.one_off = !c.store_options && (c.password || c.min_saving);
  if (c.one_off && !link->windows_here()) {
    std::fprintf(stderr,
                 "parvex-sim: options for one run reach only an add-in in this process "
                 "(--in-process); --store-options stores them\n");
    return 2;
  }
  if (c.one_off && c.password) {
    services.set_one_off(parvex::kAskPasswordSetting, "1");
    parvex::sim::set_typed_password(*c.password);
  }
  if (c.one_off && c.min_saving) {
    services.set_one_off(parvex::kMinSavingSetting, std::to_string(*c.min_saving));
  }
  if (c.password) ::pvx::wipe(*c.password);
  const bool ok = run_session(c, std::move(link), addin);
  parvex::ProgramState::reset();
  return ok ? 0 : 1;
}
