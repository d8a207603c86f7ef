// Platform services the core needs: dialogs, the shell, the clipboard, the add-in folder, the
// clock and the user's locale. The core calls services(); each platform supplies one
// implementation, and tests install a scripted one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace parvex {

// Buttons, icon and answers keep the numbers of the platform's message box.
enum class MsgButtons : int32_t { Ok = 0, OkCancel = 1, YesNoCancel = 3, YesNo = 4 };
enum class MsgIcon : int32_t { None = 0, Critical = 16, Question = 32, Warning = 48, Info = 64 };
enum class MsgAnswer : int32_t {
  None = 0,  // the box could not be shown, or nobody could see it: no one answered
  Ok = 1,
  Cancel = 2,
  Abort = 3,
  Retry = 4,
  Ignore = 5,
  Yes = 6,
  No = 7
};

struct LocalTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  bool operator==(const LocalTime&) const = default;
};

struct NumberSeparators {
  std::string thousands = ",";
  std::string decimal = ".";
};

struct ShellExecuteArgs {
  std::uintptr_t parent = 0;  // window handle, 0 for none
  std::string verb;
  std::string file;
  std::optional<std::string> parameters;  // nullopt passes a null pointer
  std::string directory;
  int32_t show = 0;  // SW_ value
  bool operator==(const ShellExecuteArgs&) const = default;
};

// What the user chose in the password box. Only an explicit choice sends unprotected.
struct PasswordAnswer {
  enum class Choice { password, unprotected, cancel };
  Choice choice = Choice::cancel;
  std::string password;  // UTF-8, as typed, for Choice::password
};

// 7-Zip and other tools take at most this many bytes of a password (UTF-8).
inline constexpr size_t kMaxPasswordBytes = 99;

// Why the box refuses a password (UTF-8): empty when it can be used. Blanks count as typed.
std::string password_refusal(const std::string& password);

// Where an administrator's value was set: the machine's wins over the user's.
enum class PolicyScope { machine, user };
// How a policy value is stored: a 32-bit number (REG_DWORD) or a text (REG_SZ).
enum class PolicyKind { number, text };

// Under HKLM and HKCU: the key Group Policy writes the administrative templates' values to.
inline constexpr const char* kPolicyKey = "Software\\Policies\\Parvex";
// The administrators' policy file where the platform has no policy store.
inline constexpr const char* kPolicyFile = "/etc/parvex/policies.ini";

class Services {
 public:
  virtual ~Services() = default;

  // Modal message box; an empty caption means the platform's default caption. None when the
  // box could not be shown: callers must not read that as any button.
  virtual MsgAnswer message_box(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                const std::string& caption) = 0;
  // Modal input box; an empty answer when nothing was entered or the box was cancelled.
  virtual std::string input_box(const std::string& prompt, const std::string& caption,
                                const std::string& default_answer) = 0;
  // The box that asks for a send's password: where the platform can, what is typed is not
  // shown, it is typed twice, and the box keeps no copy. By default the plain input box, where
  // an empty answer is a Cancel: no answer never means "no protection".
  virtual PasswordAnswer password_box(const std::string& prompt, const std::string& caption);
  // Lets the user interface process the window events that are waiting.
  virtual void do_events() = 0;
  virtual void set_clipboard_text(const std::string& text) = 0;
  // ShellExecute: opens an address (web page or mailto:) with the shell; the result is not
  // reported.
  virtual void shell_execute(const ShellExecuteArgs& args) = 0;

  // The add-in's own files (statistics, logs, working folder, settings), without a trailing
  // separator: the folder of its module, or the user's own folder where the module was
  // installed for all users (kMachineMarker beside it).
  virtual std::string addin_folder() = 0;
  // A line for the event log where addin_folder() is not the module's folder for a reason the
  // user did not choose (it cannot be written); empty otherwise.
  virtual std::string addin_folder_note() { return {}; }
  // The folder of the add-in's module, where its libraries are loaded from.
  virtual std::string library_folder() { return addin_folder(); }
  // The platform's last-error value of the most recent external call on this thread.
  virtual uint32_t last_system_error() = 0;

  virtual LocalTime now() = 0;
  // Milliseconds on a clock that is never set back, for durations: how long packing has run,
  // how long since window events last ran.
  virtual int64_t monotonic_ms();
  // The user's general date format: short date, a blank, long time; the date alone at midnight.
  // Empty where the platform has no user's format of its own (the en-US one is used).
  virtual std::string general_date(const LocalTime&) { return {}; }
  virtual NumberSeparators number_separators() = 0;

  // The platform's own store of the user's settings (the registry on Windows), as text by name:
  // reached only where keeps_settings(); elsewhere they live in a file of the add-in folder.
  // nullopt for one never saved; both raise when the store cannot be read or written.
  virtual bool keeps_settings() { return false; }
  virtual std::optional<std::string> read_setting(const std::string& name);
  virtual void write_setting(const std::string& name, const std::string& value);

  // The platform's own store of the values an administrator fixed, as text (a number in
  // decimal); nullopt where none is set. Raises kTypeMismatch for a value stored as the other
  // kind, and when the store cannot be read. Reached only where keeps_policies(); elsewhere
  // the machine's values come from the policy file (policy_file()) and the user has none.
  virtual bool keeps_policies() { return false; }
  virtual std::optional<std::string> read_policy(PolicyScope scope, const std::string& name,
                                                 PolicyKind kind);
  // The policy file where the platform has no store; empty for none.
  virtual std::string policy_file() { return kPolicyFile; }
};

// Beside a module installed for all users, in a folder they cannot write.
inline constexpr const char* kMachineMarker = "parvex.machine";

// The calling thread's services: the native ones unless a test installed others.
Services& services();
// Installs services for the calling thread (not owned); nullptr restores the native ones.
void set_services(Services* replacement);
// The services a test or host installed for the calling thread, or nullptr.
Services* installed_services();

// How often long work lets window events run: often enough that the host's window answers,
// seldom enough that pumping costs little.
inline constexpr int64_t kPumpEveryMs = 25;

// Lets window events run (services().do_events()) unless they ran less than kPumpEveryMs ago
// through this call on this thread; long work calls it between blocks. Never raises.
void pump_events() noexcept;

// The native implementation for this platform (Win32, or the headless POSIX one).
std::unique_ptr<Services> make_native_services();

// Separator between a folder and a name in the add-in's own paths.
#ifdef _WIN32
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif

}  // namespace parvex
