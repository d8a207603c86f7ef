// Self-registration against scratch copies of the user's and the machine's registry, with both
// views of 64-bit Windows: the keys written, side-by-side bitnesses, refused machine writes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "own_module.h"
#include "parvex_ids.h"
#include "registration.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

using Dump = std::map<std::wstring, std::wstring>;  // "key|value name" -> data

Dump dump(HKEY key, const std::wstring& path = L"", Dump out = {}) {
  wchar_t name[256], data[1024];
  for (DWORD i = 0;; ++i) {
    DWORD name_len = 256, data_size = sizeof data, type = 0;
    if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(data),
                      &data_size) != ERROR_SUCCESS)
      break;
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    out[path + L"|" + name] = type == REG_DWORD ? std::to_wstring(number) : std::wstring(data);
  }
  out[path + L"|"] += L"";  // the key itself, even when it holds no value
  for (DWORD i = 0;; ++i) {
    DWORD name_len = 256;
    if (RegEnumKeyExW(key, i, name, &name_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    pvx::win::unique_hkey sub;
    // The 64-bit view: a 32-bit build would otherwise open the Wow6432Node child, not the key.
    if (RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_64KEY, sub.put()) == ERROR_SUCCESS)
      out = dump(sub.get(), path + L"\\" + name, std::move(out));
  }
  return out;
}

std::wstring text(const GUID& g) {
  wchar_t buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

std::wstring at(const Dump& d, const std::wstring& k) {
  return d.count(k) ? d.at(k) : L"<missing>";
}

constexpr wchar_t kTestRoot[] = L"Software\\ParvexRegistrationTest";

// Points HKCU and HKLM of this process at scratch keys holding the 32-bit view's nodes, as
// 64-bit Windows has them, but none of the parents of our keys. The machine part holds another
// program's add-in and class, which must stay; every key made here holds a value of theirs.
// The views are wine's: it splits any key with a Wow6432Node child, these scratch keys too; the
// fixture reads and writes the 64-bit view, so both builds see one layout. Windows splits only
// its listed keys (ProgIDs are shared there): BothBitnessesSideBySide would meet shared ProgIDs.
class Registry {
 public:
  Registry() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot);
    const std::wstring root = kTestRoot;
    for (const wchar_t* k :
         {L"\\user\\Software\\Classes\\Wow6432Node", L"\\machine\\SOFTWARE\\Wow6432Node\\Classes",
          L"\\machine\\SOFTWARE\\Microsoft\\Office\\Outlook\\Addins\\Other.Connect",
          L"\\machine\\SOFTWARE\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}"}) {
      pvx::win::unique_hkey made;
      if (RegCreateKeyExW(HKEY_CURRENT_USER, (root + k).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, made.put(),
                          nullptr) == ERROR_SUCCESS)
        RegSetValueExW(made.get(), L"Owner", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"other"),
                       12);
    }
    RegOpenKeyExW(HKEY_CURRENT_USER, (root + L"\\user").c_str(), 0, KEY_ALL_ACCESS, user_.put());
    RegOpenKeyExW(HKEY_CURRENT_USER, (root + L"\\machine").c_str(), 0, KEY_ALL_ACCESS,
                  machine_.put());
    RegOverridePredefKey(HKEY_CURRENT_USER, user_.get());
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get());
    before_ = state();
  }
  ~Registry() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot);
  }
  bool ok() const { return user_ && machine_; }
  // The user's keys under "U", the machine's under "M".
  Dump state() const { return dump(machine_.get(), L"M", dump(user_.get(), L"U")); }
  const Dump& before() const { return before_; }

 private:
  pvx::win::unique_hkey user_, machine_;
  Dump before_;
};

// Whether COM reads the user's classes too, or the machine's only.
constexpr auto sees = [](const std::wstring&, REGSAM) { return true; };
constexpr auto blind = [](const std::wstring&, REGSAM) { return false; };

const std::wstring kAddin = L"U\\Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex.Connect|";
const std::wstring kClsid = L"\\CLSID\\" + text(kClsidConnect) + L"\\InprocServer32|";
const std::wstring kLib = L"U\\Software\\Classes\\TypeLib\\" + text(kLibId) + L"\\1.0";
const std::wstring kUser64 = L"U\\Software\\Classes", kUser32 = kUser64 + L"\\Wow6432Node";
const std::wstring kMachine64 = L"M\\SOFTWARE\\Classes", kMachine32 = L"M\\SOFTWARE\\Wow6432Node";
const std::wstring kData = L"\\Microsoft\\Office\\Outlook\\Addins\\Parvex|Path";

struct Case {
  bool machine_writable;
  bool (*com_sees)(const std::wstring&, REGSAM);
  HRESULT expected;
  bool machine_classes, machine_data;
};

class RegistrationTest : public testing::TestWithParam<Case> {};

TEST_P(RegistrationTest, RegisterTwiceThenUnregister) {
  const auto& c = GetParam();
  const Registry reg;
  ASSERT_TRUE(reg.ok()) << "scratch keys missing: registration would reach the real registry";
  const std::wstring path = win::own_module_path();
  const RegistrationSetup setup{kBitness64, c.com_sees, c.machine_writable};

  const HRESULT hr = register_server(path, setup);
  EXPECT_EQ(hr, c.expected) << std::hex << hr;
  const Dump after = reg.state();
  if (SUCCEEDED(c.expected)) {
    const std::map<std::wstring, std::wstring> expected = {
        {kAddin + L"FriendlyName", L"Parvex"},
        {kAddin + L"Description", L"Parvex"},
        {kAddin + L"LoadBehavior", L"3"},
        {kUser64 + kClsid, path},
        {kUser64 + kClsid + L"ThreadingModel", L"Apartment"},
        {kUser64 + L"\\Parvex.Connect\\CLSID|", text(kClsidConnect)},
        {kUser64 + L"\\Interface\\" + text(kPublicClasses[0].iid) + L"\\TypeLib|", text(kLibId)},
        {kLib + L"|", L"Parvex"},
        {kLib + L"\\0\\win64|", path},
    };
    for (const auto& [k, v] : expected) EXPECT_EQ(at(after, k), v) << k;
    EXPECT_EQ(after.count(kLib + L"\\HELPDIR|"), 0u) << "the library has no help folder";
    EXPECT_EQ(after.count(kUser32 + kClsid), 0u) << "the class went into the other view";
    EXPECT_EQ(after.count(kMachine64 + kClsid), c.machine_classes ? 1u : 0u);
    EXPECT_EQ(after.count(L"M\\SOFTWARE" + kData), c.machine_data ? 1u : 0u);
    EXPECT_EQ(register_server(path, setup), c.expected);
    EXPECT_EQ(reg.state(), after) << "a second registration differs from the first";
  } else {
    EXPECT_EQ(after, reg.before()) << "a failed registration left keys behind";
  }
  EXPECT_EQ(unregister_server(setup), S_OK);
  EXPECT_EQ(reg.state(), reg.before());
}

INSTANTIATE_TEST_SUITE_P(MachineAccessAndClassVisibility, RegistrationTest,
                         testing::Values(Case{true, sees, S_OK, false, true},       // elevated
                                         Case{false, sees, S_FALSE, false, false},  // standard user
                                         Case{true, blind, S_OK, true,
                                              true},  // COM reads the machine's only
                                         Case{false, blind, E_ACCESSDENIED, false, false}));

// Both builds registered in one registry: unregistering either leaves the other's keys exactly
// as they were with it alone, and the last one leaves nothing.
TEST(Registration, BothBitnessesSideBySide) {
  const Registry reg;
  ASSERT_TRUE(reg.ok());
  const std::wstring path = win::own_module_path();
  for (const bool first_out_is_32 : {true, false}) {
    const RegistrationSetup stays{first_out_is_32 ? kBitness64 : kBitness32, blind};
    const RegistrationSetup goes{first_out_is_32 ? kBitness32 : kBitness64, blind};
    ASSERT_EQ(register_server(path, stays), S_OK);
    const Dump alone = reg.state();
    ASSERT_EQ(register_server(path, goes), S_OK);
    const Dump both = reg.state();
    for (const auto& classes : {kUser64, kUser32, kMachine64, kMachine32 + L"\\Classes"})
      EXPECT_EQ(at(both, classes + kClsid), path) << classes;
    EXPECT_EQ(at(both, kLib + L"\\0\\win32|"), path);
    EXPECT_EQ(at(both, kLib + L"\\0\\win64|"), path);
    EXPECT_EQ(at(both, L"M\\SOFTWARE\\Wow6432Node" + kData), L"");
    EXPECT_EQ(unregister_server(goes), S_OK);
    EXPECT_EQ(reg.state(), alone);
    EXPECT_EQ(unregister_server(stays), S_OK);
    EXPECT_EQ(reg.state(), reg.before());
  }
}

// A user without rights on the machine's part, after an elevated registration: registering
// works for the user and leaves the machine's keys; unregistering says it could not finish; a
// registration that cannot work leaves the user's earlier one in place.
TEST(Registration, StandardUserAfterElevatedRegistration) {
  const Registry reg;
  ASSERT_TRUE(reg.ok());
  const std::wstring path = win::own_module_path();
  const RegistrationSetup elevated{kBitness64, blind}, standard{kBitness64, sees, false};
  ASSERT_EQ(register_server(path, elevated), S_OK);
  const Dump elevated_state = reg.state();

  EXPECT_EQ(register_server(path, standard), S_FALSE);
  EXPECT_EQ(reg.state(), elevated_state);
  EXPECT_EQ(register_server(path, {kBitness64, blind, false}), E_ACCESSDENIED);
  EXPECT_EQ(reg.state(), elevated_state) << "the failure took the user's registration";

  EXPECT_EQ(unregister_server(standard), E_ACCESSDENIED);
  const Dump left = reg.state();
  EXPECT_EQ(left.count(kAddin + L"LoadBehavior"), 0u);
  EXPECT_EQ(at(left, kMachine64 + kClsid), path);
  EXPECT_EQ(unregister_server(elevated), S_OK);
  EXPECT_EQ(reg.state(), reg.before());
}

}  // namespace
}  // namespace parvex::com
