#include "scripted/scripted_services.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
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

namespace {
std::filesystem::path utf8_path(const std::string& s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}
}  // namespace

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "parvex-test-" << stamp << "-" << counter++;
    const auto p = base / name.str();
    if (std::filesystem::create_directory(p)) {
      const auto u8 = p.u8string();
      path_.assign(u8.begin(), u8.end());
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(utf8_path(path_), ec);
}

std::string TempFolder::operator/(const std::string& name) const {
  return path_ + kPathSep + name;
}

namespace {
// Wide names on Windows: the C runtime's narrow names go through its own code page.
std::FILE* open_file(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(pvx::utf8_to_wide(path).c_str(), pvx::utf8_to_wide(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}
}  // namespace

std::string read_file(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(open_file(path, "rb"), &std::fclose);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string bytes;
  char buf[65536];
  while (const size_t n = std::fread(buf, 1, sizeof buf, in.get())) bytes.append(buf, n);
  return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(open_file(path, "wb"), &std::fclose);
  if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace parvex::testing
