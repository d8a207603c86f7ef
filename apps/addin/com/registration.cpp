#include "registration.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary.h"
#include "module.h"
#include "parvex_ids.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
constexpr wchar_t kOffice[] = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr wchar_t kDispatchProxy[] = L"{00020424-0000-0000-C000-000000000046}";  // oleaut32's
// Keys both bitnesses share are reached through the native view (the flag means nothing on
// 32-bit Windows, and a shared key is the same key from either view).
constexpr REGSAM kShared = KEY_WOW64_64KEY;

std::wstring text(const GUID& g) {
  wchar_t buf[40] = L"";
  StringFromGUID2(g, buf, 40);
  return buf;
}

std::wstring prog_id(const PublicClass& c) {
  return std::wstring(L"Parvex.") + c.name;
}

struct Key {
  std::wstring path;
  REGSAM view;
};

Key clsid_key(const GUID& clsid, REGSAM view) {
  return {kClasses + (L"CLSID\\" + text(clsid)), view};
}
Key lib_key() {
  return {kClasses + (L"TypeLib\\" + text(kLibId)), kShared};
}
Key addin_key() {
  return {kOffice + std::wstring(L"\\Parvex.Connect"), kShared};
}
// The additional data key: under the machine's SOFTWARE, which is redirected per view.
Key data_key(const Bitness& b) {
  return {L"SOFTWARE\\Microsoft\\Office\\Outlook\\Addins\\Parvex", b.view};
}

// The keys one bitness owns alone, each removed whole.
std::vector<Key> view_keys(const Bitness& b, bool machine) {
  std::vector<Key> keys;
  for (const auto& c : kPublicClasses) {
    keys.push_back(clsid_key(c.clsid, b.view));
    keys.push_back({kClasses + (L"Interface\\" + text(c.iid)), b.view});
  }
  keys.push_back({lib_key().path + L"\\1.0\\0\\" + b.platform, kShared});
  if (machine) keys.push_back(data_key(b));
  return keys;
}

// The keys both bitnesses share: they go with the last class of ours.
std::vector<Key> shared_keys(bool machine) {
  std::vector<Key> keys;
  for (const auto& c : kPublicClasses) keys.push_back({kClasses + prog_id(c), kShared});
  if (!machine) keys.push_back(addin_key());
  keys.push_back(lib_key());
  return keys;
}

// Parent keys that a registration may have created, deepest first; each goes once empty (only
// a fresh profile lacks Software\Classes; Windows keeps it whatever is asked).
std::vector<Key> parent_keys(const Bitness& b, bool machine) {
  const std::wstring lib = lib_key().path;
  std::vector<Key> keys = {{lib + L"\\1.0\\0", kShared},
                           {lib + L"\\1.0", kShared},
                           {lib, kShared},
                           {kClasses + std::wstring(L"TypeLib"), kShared},
                           {kClasses + std::wstring(L"CLSID"), b.view},
                           {kClasses + std::wstring(L"Interface"), b.view},
                           {L"Software\\Classes", kShared}};
  const REGSAM office = machine ? b.view : kShared;
  for (const wchar_t* k :
       {L"Software\\Microsoft\\Office\\Outlook\\Addins", L"Software\\Microsoft\\Office\\Outlook",
        L"Software\\Microsoft\\Office", L"Software\\Microsoft"})
    keys.push_back({k, office});
  return keys;
}

// One value of the registration.
struct Entry {
  Key key;
  const wchar_t* name;  // nullptr: the key's default value
  std::wstring text;
  DWORD number = 0;
  bool is_number = false;
};

// Everything a registration writes under one root, in the view of bitness b. The user's root
// gets the add-in key, the machine's the data key; both the same classes.
std::vector<Entry> entries(const std::wstring& dll_path, const Bitness& b, bool machine) {
  std::vector<Entry> out;
  const auto add = [&](const Key& key, const wchar_t* name, std::wstring value) {
    out.push_back({key, name, std::move(value)});
  };
  const std::wstring libid = text(kLibId);
  for (const auto& c : kPublicClasses) {
    const Key clsid = clsid_key(c.clsid, b.view);
    const auto sub = [&](const wchar_t* name) { return Key{clsid.path + name, b.view}; };
    add(clsid, nullptr, prog_id(c));
    add(sub(L"\\InprocServer32"), nullptr, dll_path);
    add(sub(L"\\InprocServer32"), L"ThreadingModel", L"Apartment");
    add(sub(L"\\ProgID"), nullptr, prog_id(c));
    add(sub(L"\\TypeLib"), nullptr, libid);
    add(sub(L"\\Version"), nullptr, L"1.0");
    add({kClasses + prog_id(c), kShared}, nullptr, prog_id(c));
    add({kClasses + prog_id(c) + L"\\CLSID", kShared}, nullptr, text(c.clsid));
    const std::wstring iface = kClasses + (L"Interface\\" + text(c.iid));
    add({iface, b.view}, nullptr, std::wstring(L"_") + c.name);
    add({iface + L"\\ProxyStubClsid", b.view}, nullptr, kDispatchProxy);
    add({iface + L"\\ProxyStubClsid32", b.view}, nullptr, kDispatchProxy);
    add({iface + L"\\TypeLib", b.view}, nullptr, libid);
    add({iface + L"\\TypeLib", b.view}, L"Version", L"1.0");
  }
  const std::wstring lib = lib_key().path + L"\\1.0";
  add({lib, kShared}, nullptr, L"Parvex");
  add({lib + L"\\0\\" + b.platform, kShared}, nullptr, dll_path);
  add({lib + L"\\FLAGS", kShared}, nullptr, L"0");
  // No HELPDIR key: the library has no help folder to name.
  if (machine) {
    add(data_key(b), L"Path", L"");
  } else {
    // The host's add-in values are these three (and CommandLineSafe, which it does not read).
    // None names a satellite DLL: the name and description are plain text, not resource
    // references, so the host looks up no satellite and the DLL's name is written nowhere.
    add(addin_key(), L"FriendlyName", L"Parvex");
    add(addin_key(), L"Description", L"Parvex");
    out.push_back({addin_key(), L"LoadBehavior", L"", 3, true});
  }
  return out;
}

// A key's values and subkeys, to put back as they were.
struct Tree {
  struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Value> values;
  std::vector<std::pair<std::wstring, Tree>> keys;
};

Tree read_tree(HKEY key) {
  Tree tree;
  DWORD name_max = 0, data_max = 0, subkey_max = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &subkey_max, nullptr, nullptr,
                       &name_max, &data_max, nullptr, nullptr) != ERROR_SUCCESS)
    return tree;
  std::wstring name(std::max(name_max, subkey_max) + 2, L'\0');
  for (DWORD i = 0;; ++i) {
    DWORD name_len = static_cast<DWORD>(name.size()), type = 0, size = data_max;
    std::vector<BYTE> data(data_max + 2);
    if (RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS)
      break;
    data.resize(size);
    tree.values.push_back({name.substr(0, name_len), type, std::move(data)});
  }
  for (DWORD i = 0;; ++i) {
    DWORD name_len = static_cast<DWORD>(name.size());
    if (RegEnumKeyExW(key, i, name.data(), &name_len, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    const std::wstring sub = name.substr(0, name_len);
    pvx::win::unique_hkey child;
    if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.put()) == ERROR_SUCCESS)
      tree.keys.emplace_back(sub, read_tree(child.get()));
  }
  return tree;
}

// One registry root, which may refuse every change (the machine's, for a user without rights).
class Hive {
 public:
  Hive(HKEY root, bool writable) : root_(root), writable_(writable) {}

  bool exists(const Key& k) const {
    pvx::win::unique_hkey key;
    return RegOpenKeyExW(root_, k.path.c_str(), 0, KEY_READ | k.view, key.put()) == ERROR_SUCCESS;
  }

  LONG set(const Entry& e) {
    if (e.is_number)
      return write(e.key, e.name, REG_DWORD, reinterpret_cast<const BYTE*>(&e.number),
                   sizeof e.number);
    return write(e.key, e.name, REG_SZ, reinterpret_cast<const BYTE*>(e.text.c_str()),
                 static_cast<DWORD>((e.text.size() + 1) * sizeof(wchar_t)));
  }

  // Removes the key and all below it; a missing key is no failure.
  LONG remove(const Key& k) {
    if (!exists(k)) return ERROR_SUCCESS;
    if (!writable_) return ERROR_ACCESS_DENIED;
    pvx::win::unique_hkey key;
    LONG r = RegOpenKeyExW(root_, k.path.c_str(), 0, KEY_ALL_ACCESS | k.view, key.put());
    if (r == ERROR_SUCCESS) r = RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    if (r == ERROR_SUCCESS) r = RegDeleteKeyExW(root_, k.path.c_str(), k.view, 0);
    return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
  }

  // Removes the key only when nothing (no subkey, no value) is left in it.
  void prune(const Key& k) {
    pvx::win::unique_hkey key;
    if (!writable_ ||
        RegOpenKeyExW(root_, k.path.c_str(), 0, KEY_READ | k.view, key.put()) != ERROR_SUCCESS)
      return;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    key.reset();
    if (subkeys == 0 && values == 0) RegDeleteKeyExW(root_, k.path.c_str(), k.view, 0);
  }

  // The saved state of each key, to put back after a failed registration.
  std::vector<std::pair<Key, std::optional<Tree>>> save(const std::vector<Key>& keys) const {
    std::vector<std::pair<Key, std::optional<Tree>>> saved;
    for (const auto& k : keys) {
      pvx::win::unique_hkey key;
      std::optional<Tree> tree;
      if (RegOpenKeyExW(root_, k.path.c_str(), 0, KEY_READ | k.view, key.put()) == ERROR_SUCCESS)
        tree = read_tree(key.get());
      saved.emplace_back(k, std::move(tree));
    }
    return saved;
  }

  void restore(const std::vector<std::pair<Key, std::optional<Tree>>>& saved) {
    for (const auto& [k, tree] : saved) {
      if (remove(k) == ERROR_SUCCESS && tree) put(k, *tree);
    }
  }

 private:
  LONG write(const Key& k, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    if (!writable_) return ERROR_ACCESS_DENIED;
    pvx::win::unique_hkey key;
    LONG r = RegCreateKeyExW(root_, k.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | k.view, nullptr,
                             key.put(), nullptr);
    if (r == ERROR_SUCCESS) r = RegSetValueExW(key.get(), name, 0, type, data, size);
    return r;
  }

  void put(const Key& k, const Tree& tree) {
    pvx::win::unique_hkey key;
    if (RegCreateKeyExW(root_, k.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | k.view, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
      return;
    for (const auto& v : tree.values)
      RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(),
                     static_cast<DWORD>(v.data.size()));
    for (const auto& [name, sub] : tree.keys) put({k.path + L"\\" + name, k.view}, sub);
  }

  HKEY root_;
  bool writable_;
};

// Every key a registration in view b may change under one root.
std::vector<Key> touched_keys(const Bitness& b, bool machine) {
  std::vector<Key> keys = view_keys(b, machine);
  for (auto& k : shared_keys(machine)) keys.push_back(std::move(k));
  return keys;
}

void prune_parents(Hive& hive, const Bitness& b, bool machine) {
  for (const auto& k : parent_keys(b, machine)) hive.prune(k);
}

// Replaces a registration of ours under one root in view b by the one for dll_path.
LONG write_registration(Hive& hive, const std::wstring& dll_path, const Bitness& b, bool machine,
                        bool classes) {
  LONG r = ERROR_SUCCESS;
  for (const auto& k : classes ? touched_keys(b, machine) : std::vector<Key>{data_key(b)}) {
    // The type library's key holds the other bitness's platform subkey: its values are
    // overwritten, the key is not removed.
    if (k.path == lib_key().path) continue;
    if (r == ERROR_SUCCESS) r = hive.remove(k);
  }
  for (const auto& e : entries(dll_path, b, machine)) {
    const bool is_data = machine && e.key.path == data_key(b).path;
    if (r == ERROR_SUCCESS && classes != is_data) r = hive.set(e);
  }
  return r;
}

bool holds_our_class(const Hive& hive) {
  return hive.exists(clsid_key(kClsidConnect, kBitness32.view)) ||
         hive.exists(clsid_key(kClsidConnect, kBitness64.view));
}

}  // namespace

// The key's name is built in memory: a failure to allocate reads as "not seen", never as a throw
// out of this noexcept check.
bool classes_root_names(const std::wstring& dll_path, REGSAM view) noexcept {
  return pvx::guard_result(false, false, [&] {
    const std::wstring path = L"CLSID\\" + text(kClsidConnect) + L"\\InprocServer32";
    pvx::win::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) !=
        ERROR_SUCCESS)
      return false;
    wchar_t data[MAX_PATH * 2] = L"";
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS)
      return false;
    return CompareStringOrdinal(data, -1, dll_path.c_str(), -1, TRUE) == CSTR_EQUAL;
  });
}

HRESULT register_server(const std::wstring& dll_path, const RegistrationSetup& setup) noexcept {
  return pvx::win::guard_hresult([&]() -> HRESULT {
    // A DLL whose type library does not load must not be registered as an add-in.
    pvx::win::com_ptr<ITypeLib> lib;
    const HRESULT loaded = LoadTypeLibEx(dll_path.c_str(), REGKIND_NONE, lib.put());
    if (FAILED(loaded)) return loaded;
    const Bitness& b = setup.bitness;
    Hive user(HKEY_CURRENT_USER, true), machine(HKEY_LOCAL_MACHINE, setup.machine_writable);
    const auto user_before = user.save(touched_keys(b, false));
    const auto machine_before = machine.save(touched_keys(b, true));
    const auto fail = [&](LONG r) {
      user.restore(user_before);
      machine.restore(machine_before);
      prune_parents(user, b, false);
      prune_parents(machine, b, true);
      return HRESULT_FROM_WIN32(r);
    };

    LONG r = write_registration(user, dll_path, b, false, true);
    if (r != ERROR_SUCCESS) return fail(r);
    HRESULT result = S_OK;
    // Where COM does not read the user's classes (wine; an elevated process with UAC off), the
    // add-in key would name a class the host cannot create: register the classes machine-wide,
    // or fail. An earlier machine-wide registration of ours is brought up to date where the
    // process may write there; where it may not, the user's classes still come first.
    const bool needed = !setup.com_sees(dll_path, b.view);
    if (needed || holds_our_class(machine)) {
      r = write_registration(machine, dll_path, b, true, true);
      if (r != ERROR_SUCCESS) {
        if (needed) return fail(r);
        machine.restore(machine_before);
        result = S_FALSE;
      }
    }
    if (write_registration(machine, dll_path, b, true, false) != ERROR_SUCCESS) {
      prune_parents(machine, b, true);
      result = S_FALSE;
    }
    return result;
  });
}

HRESULT unregister_server(const RegistrationSetup& setup) noexcept {
  return pvx::win::guard_hresult([&]() -> HRESULT {
    LONG first = ERROR_SUCCESS;
    const auto keep = [&](LONG r) {
      if (first == ERROR_SUCCESS) first = r;
    };
    Hive user(HKEY_CURRENT_USER, true), machine(HKEY_LOCAL_MACHINE, setup.machine_writable);
    for (const bool is_machine : {false, true}) {
      Hive& hive = is_machine ? machine : user;
      for (const auto& k : view_keys(setup.bitness, is_machine)) keep(hive.remove(k));
      if (!holds_our_class(hive)) {
        for (const auto& k : shared_keys(is_machine)) keep(hive.remove(k));
      }
      prune_parents(hive, setup.bitness, is_machine);
    }
    // A key of ours left behind, naming the DLL, is a failure the user must see: the
    // registration tool reports S_FALSE as success.
    return first == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(first);
  });
}

}  // namespace parvex::com
