// fake_outlook: a host session against the real Parvex.dll beside this program. It registers
// the DLL with regsvr32, finds the add-in under the host's add-in key, creates Parvex.Connect by
// its ProgID, connects it five times for the OnConnection figure, then runs a session: toolbar
// button, a main window, a mail window with three files, the send, shutdown, unregistration.
// Exit code 0 when every check held.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "archive/unzip_files.h"
#include "extensibility.h"
#include "fake_outlook.h"
#include "parvex_ids.h"
#include "sim/sim_outlook.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace {

namespace fs = std::filesystem;
using namespace parvex;
using fake::ComPtr;

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

DWORD run(const std::wstring& command) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = command;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return GetLastError() | 0x80000000u;
  const pvx::win::unique_handle process(pi.hProcess), thread(pi.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

bool key_exists(HKEY root, const std::wstring& path) {
  pvx::win::unique_hkey key;
  return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring text_value(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t buf[512] = L"";
  DWORD size = sizeof buf;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"?";
  return buf;
}

DWORD dword_value(HKEY root, const std::wstring& path, const wchar_t* name) {
  DWORD value = 0, size = sizeof value;
  RegGetValueW(root, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return value;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<fs::path> make_files(const fs::path& folder) {
  fs::create_directories(folder);
  std::string text, noise;
  for (int i = 0; i < 2000; ++i)
    text += "Line " + std::to_string(i) + " of the quarterly notes.\r\n";
  unsigned x = 12345;
  for (int i = 0; i < 200000; ++i) noise += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  const std::vector<std::pair<fs::path, std::string>> files = {
      {folder / L"Z\u00fcrich notes.txt", text},
      {folder / L"data.bin", noise},
      {folder / L"empty.dat", ""}};
  std::vector<fs::path> paths;
  for (const auto& [p, bytes] : files) {
    write_file(p, bytes);
    paths.push_back(p);
  }
  return paths;
}

// The version resource: the DLL's identity and the self-registration marker.
bool version_resource_right(const std::wstring& dll) {
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeW(dll.c_str(), &ignored));
  if (block.empty() ||
      !GetFileVersionInfoW(dll.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
    return false;
  auto value = [&](const wchar_t* name) -> std::wstring {
    void* p = nullptr;
    UINT n = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), &p, &n)) return L"<none>";
    return n ? std::wstring(static_cast<const wchar_t*>(p)) : L"";
  };
  return value(L"OLESelfRegister") == L"" && value(L"FileVersion") == L"1.00" &&
         value(L"InternalName") == L"Parvex" && value(L"OriginalFilename") == L"Parvex.dll";
}

// The registered type library, as a host finds it: "Parvex" 1.0, locale 0.
bool type_library_registered() {
  ComPtr<ITypeLib> lib;
  if (FAILED(LoadRegTypeLib(com::kLibId, 1, 0, 0, lib.put()))) return false;
  BSTR name = nullptr;
  lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  const bool named = name && std::wstring(name) == L"Parvex";
  SysFreeString(name);
  TLIBATTR* attr = nullptr;
  if (FAILED(lib->GetLibAttr(&attr))) return false;
  const bool right = attr->lcid == 0 && attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0;
  lib->ReleaseTLibAttr(attr);
  return named && right;
}

ComPtr<IDTExtensibility2> create_connect() {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"Parvex.Connect", &clsid);
  ComPtr<IDTExtensibility2> connect;
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, com::kIidIDTExtensibility2,
                          reinterpret_cast<void**>(connect.put()));
  }
  if (FAILED(hr)) std::printf("creating Parvex.Connect: 0x%08lx\n", static_cast<unsigned long>(hr));
  return connect;
}

// The archive "DD" holds exactly the files sent, byte for byte, and the readme.
bool archive_holds(const std::string& archive, const std::vector<fs::path>& files,
                   const fs::path& scratch) {
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  write_file(scratch / L"DD.zip", archive);
  const fs::path out = scratch / L"out";
  fs::create_directories(out);
  UnzipFiles unzip;
  unzip.OverWriteFiles(true);
  if (unzip.Unzip(win::narrow((scratch / L"DD.zip").wstring()), win::narrow(out.wstring())) != 0)
    return false;
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(out)) {
    (void)e;
    ++entries;
  }
  bool same = entries == files.size() + 1 && fs::exists(out / L"Readme.txt");
  for (const auto& f : files) same = same && read_file(out / f.filename()) == read_file(f);
  return same;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The same sends through the simulated client and this program's own copy of the core, for the
// cost of going through COM.
std::vector<double> simulated_sends(const std::vector<fs::path>& files, int count) {
  std::vector<double> times;
  sim::SimOutlook outlook;
  Connect connect;
  outlook.open_explorer("Inbox - Microsoft Outlook");
  connect.OnConnection(outlook.application(), host::ConnectMode::Startup, outlook.addin());
  for (int i = 0; i < count; ++i) {
    const auto mail = outlook.new_mail("Quarterly report");
    for (const auto& f : files) mail->attach_file(win::narrow(f.wstring()));
    outlook.open_inspector(mail, "Quarterly report - Message (HTML)");
    const auto t0 = std::chrono::steady_clock::now();
    outlook.send(mail);
    times.push_back(ms_since(t0));
  }
  const auto& out = outlook.outbox();
  check(out.size() == static_cast<size_t>(count) && out.back().attachments.size() == 1 &&
            out.back().attachments[0].display_name == "DD",
        "the simulated client's sends left with \"DD\" too");
  connect.OnBeginShutdown();
  connect.OnDisconnection(host::DisconnectMode::HostShutdown);
  return times;
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const fs::path bin = fs::path(self).parent_path();
  const std::wstring dll = (bin / L"Parvex.dll").wstring();
  const std::wstring addin_key = L"Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex.Connect";
  const std::vector<fs::path> files = make_files(bin / L"fake_outlook_run" / L"in");

  check(run(L"regsvr32.exe /s \"" + dll + L"\"") == 0, "regsvr32 registers Parvex.dll");
  check(dword_value(HKEY_CURRENT_USER, addin_key, L"LoadBehavior") == 3 &&
            text_value(HKEY_CURRENT_USER, addin_key, L"FriendlyName") == L"Parvex",
        "the add-in key asks the host to load Parvex.Connect at startup");
  check(version_resource_right(dll),
        "the version resource names Parvex and marks self-registration");
  check(type_library_registered(), "the type library \"Parvex\" 1.0 is registered");

  std::vector<double> connect_ms;
  {
    auto app = fake::make<fake::Application>();
    auto addin = fake::make<fake::AddIn>();
    app->open_explorer(L"Inbox - Microsoft Outlook");
    for (int i = 0; i < 5; ++i) {
      ComPtr<IDTExtensibility2> connect = create_connect();
      if (!connect) break;
      SAFEARRAY* custom = nullptr;
      const auto t0 = std::chrono::steady_clock::now();
      const HRESULT hr =
          connect->OnConnection(app->dispatch(), ext_cm_Startup, addin->dispatch(), &custom);
      connect_ms.push_back(ms_since(t0));
      if (FAILED(hr)) std::printf("OnConnection failed: 0x%08lx\n", static_cast<unsigned long>(hr));
      connect->OnBeginShutdown(&custom);
      connect->OnDisconnection(ext_dm_UserClosed, &custom);
      addin->clear();
    }
    check(connect_ms.size() == 5, "Parvex.Connect created by its ProgID five times");
    check(fake::Object::sinks == 0, "each disconnection ended every subscription");
  }

  constexpr int kSends = 5;
  std::vector<double> send_ms;
  {
    auto app = fake::make<fake::Application>();
    auto addin = fake::make<fake::AddIn>();
    fake::Explorer& inbox = app->open_explorer(L"Inbox - Microsoft Outlook");
    ComPtr<IDTExtensibility2> connect = create_connect();
    check(static_cast<bool>(connect), "Parvex.Connect created for the session");
    if (!connect) return 1;
    SAFEARRAY* custom = nullptr;
    check(
        connect->OnConnection(app->dispatch(), ext_cm_Startup, addin->dispatch(), &custom) == S_OK,
        "OnConnection succeeds");
    ComPtr<IUnknown> id1, id2;
    connect->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(id1.put()));
    if (addin->object())
      addin->object()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(id2.put()));
    check(id1 && id1.get() == id2.get(), "the add-in object's Object is the connection object");
    connect->OnStartupComplete(&custom);
    app->startup();

    const auto& bar = inbox.standard_bar();
    check(bar.visible() && bar.buttons().size() == 1 &&
              bar.buttons()[0]->caption() == L"&Parvex now" && bar.buttons()[0]->enabled(),
          "one enabled \"&Parvex now\" button on the visible standard bar");
    if (!bar.buttons().empty()) check(!bar.buttons()[0]->click(), "the button's click is handled");

    fake::Explorer& calendar = app->open_explorer(L"Calendar - Microsoft Outlook");
    auto mail = fake::make<fake::MailItem>(L"Quarterly report");
    for (const auto& f : files) mail->attach(f.wstring());
    fake::Inspector& window =
        app->open_inspector(*mail.get(), L"Quarterly report - Message (HTML)");
    const auto t0 = std::chrono::steady_clock::now();
    const bool cancelled = mail->send();
    send_ms.push_back(ms_since(t0));
    check(!cancelled, "the send goes ahead");
    const auto& left = mail->attachments();
    check(left.size() == 1 && left[0]->display_name() == L"DD", "one attachment \"DD\" left");
    if (left.size() == 1)
      check(archive_holds(left[0]->bytes(), files, bin / L"fake_outlook_run" / L"check"),
            "\"DD\" extracts to the three files and the readme");
    app->close(window);
    for (int i = 1; i < kSends; ++i) {
      auto next = fake::make<fake::MailItem>(L"Quarterly report");
      for (const auto& f : files) next->attach(f.wstring());
      fake::Inspector& w = app->open_inspector(*next.get(), L"Quarterly report - Message (HTML)");
      const auto t1 = std::chrono::steady_clock::now();
      next->send();
      send_ms.push_back(ms_since(t1));
      app->close(w);
    }
    app->close(calendar);

    connect->OnBeginShutdown(&custom);
    connect->OnDisconnection(ext_dm_HostShutdown, &custom);
    addin->clear();
    connect.reset();
    check(fake::Object::sinks == 0 && fake::Object::sink_failures == 0,
          "no subscription left and no event handler failed");
  }
  check(fake::Object::alive == 0, "every host object the add-in held was released");

  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  const HMODULE module = GetModuleHandleW(L"Parvex.dll");
  const auto can_unload = module ? reinterpret_cast<CanUnload>(reinterpret_cast<void*>(
                                       GetProcAddress(module, "DllCanUnloadNow")))
                                 : nullptr;
  check(can_unload && can_unload() == S_OK, "DllCanUnloadNow says S_OK");

  check(run(L"regsvr32.exe /s /u \"" + dll + L"\"") == 0, "regsvr32 /u unregisters it");
  check(
      !key_exists(HKEY_CURRENT_USER, addin_key) &&
          !key_exists(HKEY_CURRENT_USER, L"Software\\Classes\\Parvex.Connect") &&
          !key_exists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Parvex.Connect") &&
          !key_exists(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex"),
      "no add-in key, no ProgID and no machine-wide key left");
  CoFreeUnusedLibraries();
  CoUninitialize();
  const std::vector<double> sim_ms = simulated_sends(files, kSends);

  std::sort(connect_ms.begin(), connect_ms.end());
  if (!connect_ms.empty())
    std::printf("OnConnection median over %zu connections: %.1f ms (max %.1f ms)\n",
                connect_ms.size(), connect_ms[connect_ms.size() / 2], connect_ms.back());
  std::printf(
      "Send of three files (%zu sends, median): through COM %.1f ms, simulated client %.1f ms\n",
      send_ms.size(), median(send_ms), median(sim_ms));
  std::printf("%s\n", failures ? "FAILED" : "PASSED");
  return failures ? 1 : 0;
}
