// Headless services for POSIX: no windows, so a message box has no answer and an input box
// takes its default, each said on standard error; the clock and locale are the en-US ones the
// add-in shows on Windows.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "seams/services.h"

namespace parvex {
namespace {

class PosixServices final : public Services {
 public:
  MsgAnswer message_box(const std::string& text, MsgButtons, MsgIcon,
                        const std::string& caption) override {
    std::fprintf(stderr, "[message box%s%s] %s\n", caption.empty() ? "" : ": ", caption.c_str(),
                 text.c_str());
    return MsgAnswer::None;  // nobody saw the question, so nobody said yes
  }
  std::string input_box(const std::string& prompt, const std::string&,
                        const std::string& default_answer) override {
    std::fprintf(stderr, "[input box] %s\n", prompt.c_str());
    return default_answer;
  }
  void do_events() override {}
  void set_clipboard_text(const std::string& text) override { clipboard_ = text; }
  void shell_execute(const ShellExecuteArgs& a) override {
    std::fprintf(stderr, "[shell %s] %s\n", a.verb.c_str(), a.file.c_str());
  }
  std::string addin_folder() override {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&make_native_services), &info) && info.dli_fname) {
      std::string path = info.dli_fname;
      const auto slash = path.find_last_of('/');
      if (slash != std::string::npos) return slash == 0 ? "/" : path.substr(0, slash);
    }
    return ".";
  }
  uint32_t last_system_error() override { return static_cast<uint32_t>(errno); }
  LocalTime now() override {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
  }
  NumberSeparators number_separators() override { return NumberSeparators{",", "."}; }

 private:
  std::string clipboard_;
};

}  // namespace

std::unique_ptr<Services> make_native_services() {
  return std::make_unique<PosixServices>();
}

}  // namespace parvex
