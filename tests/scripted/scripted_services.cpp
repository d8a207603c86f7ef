#include "scripted/scripted_services.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/program_state.h"
#ifdef _WIN32
#include <windows.h>

#include "codepage_win32.h"
#endif

namespace parvex::testing {

MsgAnswer ScriptedServices::message_box(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                        const std::string& caption) {
  message_boxes.push_back({text, buttons, icon, caption});
  if (message_box_answers.empty()) return MsgAnswer::Ok;
  const MsgAnswer a = message_box_answers.front();
  message_box_answers.pop_front();
  return a;
}

std::string ScriptedServices::input_box(const std::string& prompt, const std::string& caption,
                                        const std::string& default_answer) {
  input_box_prompts.push_back(prompt);
  input_box_captions.push_back(caption);
  if (input_box_answers.empty()) return default_answer;
  std::string a = input_box_answers.front();
  input_box_answers.pop_front();
  return a;
}

void ScriptedServices::do_events() {
  if (on_do_events) on_do_events();
}

void ScriptedServices::set_clipboard_text(const std::string& text) {
  clipboard = text;
}

bool no_display() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") &&
         GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0;
#else
  return true;
#endif
}

ScopedServices::ScopedServices(Services& s) {
  ProgramState::reset();
  set_services(&s);
}

ScopedServices::~ScopedServices() {
  ProgramState::reset();
}

TempFolder::TempFolder() : path_(pvx::unzip::test::utf8(dir_.path())) {}

std::string TempFolder::operator/(const std::string& name) const {
  return path_ + kPathSep + name;
}

// Unlike the libraries' tests, which read a missing file as empty, a test here fails loudly.
std::string read_file(const std::string& path) {
  if (!std::filesystem::is_regular_file(std::filesystem::u8path(path))) {
    throw std::runtime_error("cannot read " + path);
  }
  return pvx::unzip::test::read_file(std::filesystem::u8path(path));
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
  out << bytes;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace parvex::testing
