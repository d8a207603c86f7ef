#include "registration.h"

#include <string>
#include <vector>

#include "module.h"
#include "parvex_ids.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
constexpr wchar_t kAddinKey[] = L"Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex.Connect";
constexpr wchar_t kMachineKey[] = L"SOFTWARE\\Microsoft\\Office\\Outlook\\Addins\\Parvex";
constexpr wchar_t kDispatchProxy[] = L"{00020424-0000-0000-C000-000000000046}";  // oleaut32's
#ifdef _WIN64
constexpr wchar_t kPlatform[] = L"win64";
#else
constexpr wchar_t kPlatform[] = L"win32";
#endif

std::wstring text(const GUID& g) {
  wchar_t buf[40] = L"";
  StringFromGUID2(g, buf, 40);
  return buf;
}

std::wstring prog_id(const PublicClass& c) {
  return std::wstring(L"Parvex.") + c.name;
}

// Every key we own under a root's Software\Classes, each removed whole on unregistration.
std::vector<std::wstring> class_keys() {
  std::vector<std::wstring> keys;
  for (const auto& c : kPublicClasses) {
    keys.push_back(kClasses + (L"CLSID\\" + text(c.clsid)));
    keys.push_back(kClasses + (L"Interface\\" + text(c.iid)));
    keys.push_back(kClasses + prog_id(c));
  }
  keys.push_back(kClasses + (L"TypeLib\\" + text(kLibId) + L"\\1.0"));
  return keys;
}

class Writer {
 public:
  explicit Writer(HKEY root) : root_(root) {}
  LONG status() const { return status_; }

  void set(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    write(key, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  void set(const std::wstring& key, const wchar_t* name, DWORD value) {
    write(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }

 private:
  void write(const std::wstring& key, const wchar_t* name, DWORD type, const BYTE* data,
             DWORD size) {
    if (status_ != ERROR_SUCCESS) return;
    pvx::win::unique_hkey hkey;
    status_ = RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, hkey.put(),
                              nullptr);
    if (status_ == ERROR_SUCCESS) status_ = RegSetValueExW(hkey.get(), name, 0, type, data, size);
  }

  HKEY root_;
  LONG status_ = ERROR_SUCCESS;
};

LONG delete_tree(HKEY root, const std::wstring& key) {
  const LONG r = RegDeleteTreeW(root, key.c_str());
  return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
}

// Removes a key only when nothing (no subkey, no value) is left in it.
void delete_if_empty(HKEY root, const std::wstring& key) {
  pvx::win::unique_hkey hkey;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, hkey.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(hkey.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      subkeys == 0 && values == 0) {
    hkey.reset();
    RegDeleteKeyW(root, key.c_str());
  }
}

LONG remove_class_keys(HKEY root) {
  LONG first = ERROR_SUCCESS;
  for (const auto& key : class_keys()) {
    const LONG r = delete_tree(root, key);
    if (first == ERROR_SUCCESS) first = r;
  }
  delete_if_empty(root, kClasses + (L"TypeLib\\" + text(kLibId)));
  return first;
}

LONG remove_user_keys() {
  const LONG classes = remove_class_keys(HKEY_CURRENT_USER);
  const LONG addin = delete_tree(HKEY_CURRENT_USER, kAddinKey);
  return classes != ERROR_SUCCESS ? classes : addin;
}

LONG write_class_keys(HKEY root, const std::wstring& dll_path) {
  Writer w(root);
  const std::wstring libid = text(kLibId);
  for (const auto& c : kPublicClasses) {
    const std::wstring clsid = kClasses + (L"CLSID\\" + text(c.clsid));
    w.set(clsid, nullptr, prog_id(c));
    w.set(clsid + L"\\InprocServer32", nullptr, dll_path);
    w.set(clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    w.set(clsid + L"\\ProgID", nullptr, prog_id(c));
    w.set(clsid + L"\\TypeLib", nullptr, libid);
    w.set(clsid + L"\\Version", nullptr, L"1.0");
    w.set(kClasses + prog_id(c), nullptr, prog_id(c));
    w.set(kClasses + prog_id(c) + L"\\CLSID", nullptr, text(c.clsid));
    const std::wstring iface = kClasses + (L"Interface\\" + text(c.iid));
    w.set(iface, nullptr, std::wstring(L"_") + c.name);
    w.set(iface + L"\\ProxyStubClsid", nullptr, kDispatchProxy);
    w.set(iface + L"\\ProxyStubClsid32", nullptr, kDispatchProxy);
    w.set(iface + L"\\TypeLib", nullptr, libid);
    w.set(iface + L"\\TypeLib", L"Version", L"1.0");
  }
  const std::wstring lib = kClasses + (L"TypeLib\\" + libid + L"\\1.0");
  const std::wstring folder = dll_path.substr(0, dll_path.find_last_of(L'\\'));
  w.set(lib, nullptr, L"Parvex");
  w.set(lib + L"\\0\\" + kPlatform, nullptr, dll_path);
  w.set(lib + L"\\FLAGS", nullptr, L"0");
  w.set(lib + L"\\HELPDIR", nullptr, folder);
  return w.status();
}

LONG write_addin_key() {
  Writer w(HKEY_CURRENT_USER);
  w.set(kAddinKey, L"FriendlyName", L"Parvex");
  w.set(kAddinKey, L"Description", L"Parvex");
  w.set(kAddinKey, L"LoadBehavior", DWORD{3});
  return w.status();
}

bool machine_has_connect() {
  pvx::win::unique_hkey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClasses + (L"CLSID\\" + text(kClsidConnect))).c_str(),
                       0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace

bool com_resolves_connect() noexcept {
  CLSID clsid{};
  return SUCCEEDED(CLSIDFromProgID(L"Parvex.Connect", &clsid)) && clsid == kClsidConnect;
}

HRESULT register_server(const std::wstring& dll_path, bool (*com_resolves)()) noexcept {
  try {
    // A DLL whose type library does not load must not be registered as an add-in.
    pvx::win::com_ptr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(dll_path.c_str(), REGKIND_NONE, lib.put());
    if (FAILED(hr)) return hr;
    remove_user_keys();  // values of an older registration must not linger
    LONG r = write_class_keys(HKEY_CURRENT_USER, dll_path);
    if (r == ERROR_SUCCESS) r = write_addin_key();
    // Where COM does not read the user's classes (wine; an elevated process with UAC off), the
    // add-in key would name a class the host cannot create, or one registered machine-wide
    // earlier at another path: register the classes machine-wide as well, or fail.
    if (r == ERROR_SUCCESS && (machine_has_connect() || !com_resolves())) {
      remove_class_keys(HKEY_LOCAL_MACHINE);
      r = write_class_keys(HKEY_LOCAL_MACHINE, dll_path);
      if (r != ERROR_SUCCESS) remove_class_keys(HKEY_LOCAL_MACHINE);
    }
    if (r != ERROR_SUCCESS) {
      remove_user_keys();
      return HRESULT_FROM_WIN32(r);
    }
    Writer machine(HKEY_LOCAL_MACHINE);
    machine.set(kMachineKey, L"Path", L"");
    return machine.status() == ERROR_SUCCESS ? S_OK : S_FALSE;
  } catch (...) {
    return caught_hresult();
  }
}

HRESULT unregister_server() noexcept {
  try {
    const LONG r = remove_user_keys();
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    // Machine-wide keys of ours, where a user without rights there cannot reach them.
    const LONG classes = remove_class_keys(HKEY_LOCAL_MACHINE);
    const LONG data = delete_tree(HKEY_LOCAL_MACHINE, kMachineKey);
    return classes == ERROR_SUCCESS && data == ERROR_SUCCESS ? S_OK : S_FALSE;
  } catch (...) {
    return caught_hresult();
  }
}

}  // namespace parvex::com
