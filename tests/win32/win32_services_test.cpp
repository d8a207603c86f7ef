// The Win32 back-end itself, not a fake: the handle owners and the registry table.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "scripted/scripted_services.h"
#include "seams/services.h"
#include "support/options.h"
#include "support/policies.h"
#include "text_win32.h"
#include "ui/frm_options.h"
#include "win32_handles.h"

namespace parvex {
namespace {

// Empty exactly when the call failed: a kind whose "none" is -1, and the helpers that may fail.
TEST(Win32Handles, EmptyExactlyWhenTheCallFailed) {
  WIN32_FIND_DATAW data;
  EXPECT_FALSE(pvx::win::unique_hfind(FindFirstFileW(L"Z:\\no\\such\\folder\\*", &data)));
  const pvx::win::unique_hglobal memory(GlobalAlloc(GMEM_MOVEABLE, 16));
  EXPECT_TRUE(pvx::win::lock_global(memory.get()));
  EXPECT_FALSE(pvx::win::open_clipboard(nullptr));  // we never open it without an owner
}

// The GDI owners free their handle by the call of its kind: gone once their owners are.
TEST(Win32Handles, OwnersFreeTheirKindOfHandle) {
  HBITMAP bitmap = nullptr;
  HDC memory_dc = nullptr;
  {
    const pvx::win::window_dc screen(nullptr);
    ASSERT_TRUE(screen);
    const pvx::win::unique_gdi<HBITMAP> b(CreateCompatibleBitmap(screen.get(), 4, 4));
    const pvx::win::unique_hdc dc(CreateCompatibleDC(screen.get()));
    ASSERT_TRUE(b && dc);
    bitmap = b.get();
    memory_dc = dc.get();
    EXPECT_EQ(GetObjectType(bitmap), static_cast<DWORD>(OBJ_BITMAP));
    EXPECT_EQ(GetObjectType(memory_dc), static_cast<DWORD>(OBJ_MEMDC));
  }
  EXPECT_EQ(GetObjectType(bitmap), 0u);
  EXPECT_EQ(GetObjectType(memory_dc), 0u);
}

// Every value the add-in reads from the registry, in scratch copies of HKCU and HKLM: the
// user's options (REG_SZ under Software\Parvex\Options) and the policies (REG_DWORD, ReadmeText
// REG_SZ, under kPolicyKey of either root). A damaged value, alone or beside good ones, costs
// its own value only; a damaged AskPassword asks; the windows show what stands.
class RegistryTable : public ::testing::Test {
 protected:
  RegistryTable() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    for (auto [root, name] : {std::pair{&user_, L"\\user"}, {&machine_, L"\\machine"}}) {
      RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + name).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, root->put(), nullptr);
    }
    overridden_ = user_ && machine_ &&
                  RegOverridePredefKey(HKEY_CURRENT_USER, user_.get()) == ERROR_SUCCESS &&
                  RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get()) == ERROR_SUCCESS;
  }
  ~RegistryTable() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
  }
  // The native registry reads and writes under the scripted dialogs and folder.
  struct Registry final : testing::ScriptedServices {
    std::unique_ptr<Services> native = make_native_services();
    bool keeps_settings() override { return true; }
    std::optional<std::string> read_setting(const std::string& n) override {
      return native->read_setting(n);
    }
    void write_setting(const std::string& n, const std::string& v) override {
      native->write_setting(n, v);
    }
    bool keeps_policies() override { return true; }
    std::optional<std::string> read_policy(PolicyScope s, const std::string& n,
                                           PolicyKind k) override {
      return native->read_policy(s, n, k);
    }
  };

  static constexpr wchar_t kScratch[] = L"Software\\ParvexRegistryTableTest";
  pvx::win::unique_hkey user_, machine_;
  bool overridden_ = false;
  testing::TempFolder dir_;
  Registry services_;
};

// One value: 'O' an option, 'U' a user's policy, 'M' a machine's policy.
struct Value {
  char where;
  const wchar_t* name;
  DWORD type;
  std::wstring text;  // REG_SZ
  uint64_t number = 0;
  DWORD bytes = 4;  // of a REG_DWORD or REG_BINARY
};

TEST_F(RegistryTable, EachValueStandsOrFallsAlone) {
  ASSERT_TRUE(overridden_) << "no scratch keys: the test would reach the real registry";
  services_.folder = dir_.path();
  const testing::ScopedServices scope(services_);
  const std::wstring long_text(5000, L'7');
  const auto sz = [](char w, const wchar_t* n, std::wstring t) { return Value{w, n, REG_SZ, t}; };
  const auto dw = [](char w, const wchar_t* n, uint64_t v, DWORD b = 4) {
    return Value{w, n, REG_DWORD, L"", v, b};
  };
  // What stands, as one line: the options in force, the fixed packing and readme line, whether
  // the options read as damaged, how many policy values were ignored.
  const struct {
    const char* stands;
    std::vector<Value> values;
  } rows[] = {
      {"ask 1, min 5, pack -, readme -, damaged 0, ignored 0",
       {sz('O', L"AskPassword", L"1"), sz('O', L"MinSaving", L"5")}},
      {"ask 0, min 0, pack -, readme -, damaged 1, ignored 0",
       {sz('O', L"AskPassword", L"0"), sz('O', L"MinSaving", L"5%")}},
      {"ask 1, min 7, pack -, readme -, damaged 1, ignored 0",
       {dw('O', L"AskPassword", 0), sz('O', L"MinSaving", L"7")}},
      {"ask 0, min 0, pack -, readme -, damaged 1, ignored 0", {sz('O', L"MinSaving", long_text)}},
      // A DWORD of 8 bytes, alone and beside good policies.
      {"ask 0, min 0, pack -, readme -, damaged 0, ignored 1", {dw('M', L"Compression", 0, 8)}},
      {"ask 1, min 10, pack -, readme caf\xC3\xA9, damaged 0, ignored 1",
       {dw('M', L"Compression", 1, 8), dw('M', L"AskPassword", 1), dw('M', L"MinSaving", 10),
        sz('M', L"ReadmeText", L"caf\u00e9")}},
      // The machine's of the wrong kind: the user's stands.
      {"ask 1, min 0, pack 0, readme -, damaged 0, ignored 1",
       {sz('M', L"AskPassword", L"1"), dw('U', L"AskPassword", 1), dw('M', L"Compression", 0)}},
      {"ask 0, min 3, pack -, readme -, damaged 0, ignored 1",
       {dw('M', L"MinSaving", 100), sz('O', L"MinSaving", L"3")}},
      {"ask 0, min 0, pack 1, readme -, damaged 0, ignored 2",
       {dw('M', L"ReadmeText", 1), sz('U', L"ReadmeText", L"a\r\nb"), dw('U', L"Compression", 1)}},
      {"ask 1, min 0, pack -, readme -, damaged 0, ignored 1",
       {Value{'U', L"AskPassword", REG_BINARY, L"", 1}, sz('O', L"AskPassword", L"1")}},
  };
  const std::wstring policies = win::widen(kPolicyKey);
  for (const auto& row : rows) {
    for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      RegDeleteTreeW(root, L"Software\\Parvex");
      RegDeleteTreeW(root, policies.c_str());
    }
    for (const auto& v : row.values) {
      const HKEY root = v.where == 'M' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
      const std::wstring key = v.where == 'O' ? L"Software\\Parvex\\Options" : policies;
      const void* data = v.type == REG_SZ ? static_cast<const void*>(v.text.c_str()) : &v.number;
      const DWORD size =
          v.type == REG_SZ ? static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t)) : v.bytes;
      ASSERT_EQ(RegSetKeyValueW(root, key.c_str(), v.name, v.type, data, size), ERROR_SUCCESS);
    }
    std::string damaged;
    std::vector<std::string> ignored;
    const Policies fixed = read_policies(&ignored);
    const Options in_force = fixed.over(read_options(&damaged));
    const auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    EXPECT_EQ("ask " + flag(in_force.ask_password) + ", min " +
                  std::to_string(in_force.min_saving) + ", pack " +
                  (fixed.compression ? flag(*fixed.compression) : "-") + ", readme " +
                  fixed.readme_text.value_or("-") + ", damaged " + flag(!damaged.empty()) +
                  ", ignored " + std::to_string(ignored.size()),
              row.stands);
    // The window: a fixed value shows disabled, and the window says who set it.
    auto& options = ui::touch<ui::frm_options>();
    EXPECT_EQ(options.chk_password.value, in_force.ask_password ? 1 : 0) << row.stands;
    EXPECT_EQ(options.chk_password.enabled, !fixed.ask_password) << row.stands;
    EXPECT_EQ(options.txt_min_saving.text, std::to_string(in_force.min_saving)) << row.stands;
    EXPECT_EQ(options.lbl_policy.visible, fixed.fixes_options()) << row.stands;
    ui::unload<ui::frm_options>();
  }
  // The Options window's store: written as texts, read back.
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Parvex");
  write_options({true, 42});
  EXPECT_EQ(read_options(), (Options{true, 42}));
}

}  // namespace
}  // namespace parvex
#endif
