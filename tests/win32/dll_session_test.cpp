// Parvex.dll itself, driven through COM by the simulated client as the mail client drives it:
// registered, connected five times, a mail with three files sent, shut down and unregistered;
// and a connection that fails, after which COM may unload the DLL.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/unzip_files.h"
#include "dispatch.h"
#include "extensibility.h"
#include "parvex_ids.h"
#include "scripted/scripted_services.h"
#include "sim/sim_com.h"
#include "sim/sim_session.h"
#include "win32_handles.h"

namespace parvex {
namespace {

namespace stdfs = std::filesystem;

const wchar_t kAddinKey[] = L"Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex.Connect";

bool key_exists(HKEY root, const wchar_t* path) {
  pvx::win::unique_hkey key;
  return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

using pvx::unzip::test::utf8;

// The version resource marks the DLL self-registering, which installers look for.
bool self_registering(const std::wstring& dll) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
  if (size == 0) return false;
  const auto block = std::make_unique<char[]>(size);
  void* value = nullptr;
  UINT n = 0;
  return GetFileVersionInfoW(dll.c_str(), 0, size, block.get()) &&
         VerQueryValueW(block.get(), L"\\StringFileInfo\\040904B0\\OLESelfRegister", &value, &n);
}

// The registered type library, as a host finds it: "Parvex" 1.0, locale 0.
bool type_library_registered() {
  com::ComPtr<ITypeLib> lib;
  TLIBATTR* attr = nullptr;
  if (FAILED(LoadRegTypeLib(com::kLibId, 1, 0, 0, lib.put())) || FAILED(lib->GetLibAttr(&attr)))
    return false;
  const bool right = attr->lcid == 0 && attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0;
  lib->ReleaseTLibAttr(attr);
  pvx::win::unique_bstr name;
  lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
  return right && name && std::wstring(name.get()) == L"Parvex";
}

// What the loaded Parvex.dll answers when COM asks whether it may unload it.
bool can_unload_now() {
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  const HMODULE module = GetModuleHandleW(L"Parvex.dll");
  const auto f = module ? reinterpret_cast<CanUnload>(
                              reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")))
                        : nullptr;
  return f && f() == S_OK;
}

BOOL CALLBACK count_window(HWND, LPARAM count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

class DllSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_.folder = utf8(run_.parent_path());  // the DLL's folder, with our libraries
    stdfs::remove_all(run_);
    stdfs::create_directories(run_ / L"in");
    std::string text;
    for (int i = 0; i < 2000; ++i)
      text += "Line " + std::to_string(i) + " of the quarterly notes.\r\n";
    for (const auto& [name, bytes] :
         {std::pair<const wchar_t*, std::string>{L"Z\u00fcrich notes.txt", text},
          {L"data.bin", testing::random_bytes(200000)},
          {L"empty.dat", ""}}) {
      files_.push_back(run_ / L"in" / name);
      testing::write_file(utf8(files_.back()), bytes);
    }
  }
  // A mail with the three files, sent kSends times, as a script.
  std::string sends() const {
    std::string script;
    for (int i = 0; i < kSends; ++i) {
      script += "mail Quarterly report\n";
      for (const auto& f : files_) script += "attach " + utf8(f) + "\n";
      script += "send\n";
    }
    return script;
  }

  static constexpr int kSends = 5;
  stdfs::path run_ = stdfs::path(sim::dll_beside_program()).parent_path() / L"dll_session_run";
  testing::ScriptedServices services_;
  testing::ScopedServices scope_{services_};
  std::vector<stdfs::path> files_;
};

TEST_F(DllSessionTest, RegisteredConnectedSentAndGoneWithoutATrace) {
  const std::wstring dll = sim::dll_beside_program();
  std::ostringstream out;
  {
    sim::SimSession session(out, utf8(run_ / L"Outbox"), sim::com_link(dll));
    session.ask_for_ribbons(false);  // a host of command bars: the button is the entry point
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, kAddinKey));
    EXPECT_TRUE(self_registering(dll));
    EXPECT_TRUE(type_library_registered());

    ASSERT_TRUE(session.run("explorer Inbox - Microsoft Outlook"));
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(session.run("connect")) << out.str();
      ASSERT_TRUE(session.run("disconnect")) << out.str();
      EXPECT_EQ(session.outlook().addin_object(), nullptr);
    }
    std::istringstream script("connect\nstartup-complete\nbutton\nexplorer Calendar\n" + sends());
    ASSERT_TRUE(session.run_script(script)) << out.str();

    // The add-in's Object is its connection object, and its button sits on the standard bar.
    com::ComPtr<IDTExtensibility2> connection;
    ASSERT_TRUE(session.outlook().addin_object());
    EXPECT_EQ(static_cast<IDispatch*>(session.outlook().addin_object().get())
                  ->QueryInterface(com::kIidIDTExtensibility2,
                                   reinterpret_cast<void**>(connection.put())),
              S_OK);
    connection.reset();
    const auto bar = session.outlook().explorers().at(0)->command_bars()->bar("standard");
    ASSERT_FALSE(bar->buttons().empty());  // each connection adds its own
    EXPECT_EQ(bar->buttons().back()->caption(), "&Parvex now");

    ASSERT_TRUE(session.run("close explorer"));
    ASSERT_TRUE(session.run("shutdown"));
    EXPECT_EQ(session.outlook().event_failures().size(), 0u) << out.str();
    EXPECT_TRUE(can_unload_now());

    // Each message left with "DD" alone, holding the three files byte for byte and the readme.
    ASSERT_EQ(session.outlook().outbox().size(), static_cast<size_t>(kSends));
    for (const auto& message : session.outlook().outbox()) {
      ASSERT_EQ(message.attachments.size(), 1u);
      EXPECT_TRUE(message.attachments[0].marked);
    }
    const stdfs::path check = run_ / L"check";
    stdfs::create_directories(check);
    testing::write_file(utf8(run_ / L"DD.zip"),
                        session.outlook().outbox().back().attachments[0].bytes);
    UnzipFiles unzip;
    unzip.OverWriteFiles(true);
    ASSERT_EQ(unzip.Unzip(utf8(run_ / L"DD.zip"), utf8(check)), 0);
    EXPECT_EQ(std::distance(stdfs::directory_iterator(check), stdfs::directory_iterator()),
              static_cast<std::ptrdiff_t>(files_.size() + 1));
    EXPECT_TRUE(stdfs::exists(check / L"Readme.txt"));
    for (const auto& f : files_)
      EXPECT_EQ(testing::read_file(utf8(check / f.filename())), testing::read_file(utf8(f)))
          << utf8(f);
  }
  EXPECT_NE(out.str().find("Host references still held: 0, subscriptions still open: 0"),
            std::string::npos)
      << out.str();
  EXPECT_FALSE(
      key_exists(HKEY_CURRENT_USER, kAddinKey) ||
      key_exists(HKEY_CURRENT_USER, L"Software\\Classes\\Parvex.Connect") ||
      key_exists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Parvex.Connect") ||
      key_exists(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex"));
}

// A host of ribbons reads both of the DLL's through its IRibbonExtensibility, checks them, and
// calls their callbacks by name through its IDispatch: one message leaves as written.
TEST_F(DllSessionTest, BothRibbonsThroughTheDllsOwnInterfaces) {
  std::ostringstream out;
  {
    sim::SimSession session(out, utf8(run_ / L"Outbox"), sim::com_link(sim::dll_beside_program()));
    const std::string attach = "attach " + utf8(files_[0]) + "\n";
    std::istringstream script("explorer Inbox\nconnect\nribbon\nmail As written\n" + attach +
                              "ribbon\nribbon toggle Pack attachments\nribbon\nsend\nmail "
                              "Packed\n" +
                              attach + "ribbon\nsend\nshutdown\n");
    ASSERT_TRUE(session.run_script(script)) << out.str();
    ASSERT_EQ(session.outlook().outbox().size(), 2u);
    EXPECT_EQ(session.outlook().outbox()[0].attachments.at(0).display_name,
              utf8(files_[0].filename()));
    EXPECT_EQ(session.outlook().outbox()[1].attachments.at(0).display_name, "Attachments.zip");
  }
  const std::string text = out.str();
  size_t at = 0;
  for (const char* expected : {"Tab TabMail", "toggleButton \"Pack on send\" pressed [icon 32 px]",
                               "labelControl \"Saved ", "Tab TabNewMailMessage",
                               "toggleButton \"Pack attachments\" pressed [icon 32 px]",
                               "\"Pack attachments\" released", "\"Pack attachments\" pressed",
                               "Host references still held: 0, subscriptions still open: 0"}) {
    at = text.find(expected, at);
    ASSERT_NE(at, std::string::npos) << expected << "\n" << text;
  }
}

// A host without a main window fails the connection, which is ordinary, and drops the
// connection object without a disconnection. The DLL then says it can go, and COM may unload
// it: nothing of it (a hook, a timer, a window) may be left to run when the host's loop goes on.
TEST_F(DllSessionTest, AFailedConnectionLeavesNothingToRunOnceUnloaded) {
  if (testing::no_display()) GTEST_SKIP() << "no windows to leave behind (run under xvfb-run)";
  std::ostringstream out;
  sim::SimSession session(out, utf8(run_ / L"Outbox"), sim::com_link(sim::dll_beside_program()));
  // A host call the connection needs fails it (a start without a main window does not).
  ASSERT_TRUE(session.run("fail Application.GetNamespace"));
  ASSERT_FALSE(session.run("connect")) << out.str();
  ASSERT_TRUE(can_unload_now());
  CoFreeUnusedLibraries();
  int windows = 0;
  EnumThreadWindows(GetCurrentThreadId(), count_window, reinterpret_cast<LPARAM>(&windows));
  ASSERT_EQ(windows, 0);
  // What the host's loop does next, for longer than a timer period of ours.
  for (int round = 0; round < 30; ++round) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
}

}  // namespace
}  // namespace parvex
