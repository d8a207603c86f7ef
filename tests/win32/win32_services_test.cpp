// The Win32 back-end itself, not a fake: the handle owners and the registry reads.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/failure.h"
#include "seams/services.h"
#include "text_win32.h"
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

// Policies as Group Policy writes them, and the user's settings under HKCU: a REG_DWORD as its
// number, a REG_SZ as its text, either refused when the other kind is asked for.
TEST(Win32Settings, RegistryValuesReadByKind) {
  const auto native = make_native_services();
  const std::wstring policies = win::widen(kPolicyKey);
  const wchar_t* settings = L"Software\\Parvex\\Options";
  const DWORD number = 42;
  const wchar_t text[] = L"caf\u00e9";
  for (const wchar_t* key : {policies.c_str(), settings}) {
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"TestNumber", REG_DWORD, &number, sizeof number),
        ERROR_SUCCESS);
  }
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_CURRENT_USER, policies.c_str(), L"TestText", REG_SZ, text, sizeof text),
      ERROR_SUCCESS);
  EXPECT_EQ(native->read_policy(PolicyScope::user, "TestNumber", PolicyKind::number), "42");
  EXPECT_EQ(native->read_policy(PolicyScope::user, "TestText", PolicyKind::text), "caf\xC3\xA9");
  EXPECT_THROW(native->read_policy(PolicyScope::user, "TestNumber", PolicyKind::text), Failure);
  EXPECT_THROW(native->read_policy(PolicyScope::user, "TestText", PolicyKind::number), Failure);
  EXPECT_EQ(native->read_policy(PolicyScope::user, "TestMissing", PolicyKind::text), std::nullopt);
  // A DWORD of 8 bytes is that value's fault alone (a type mismatch), not an unreadable store
  // that would drop every other policy.
  const uint64_t wide = 1;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, policies.c_str(), L"TestWide", REG_DWORD, &wide,
                            sizeof wide),
            ERROR_SUCCESS);
  int32_t refused = 0;
  try {
    native->read_policy(PolicyScope::user, "TestWide", PolicyKind::number);
  } catch (const Failure& f) {
    refused = f.number();
  }
  EXPECT_EQ(refused, err::kTypeMismatch);
  EXPECT_EQ(native->read_policy(PolicyScope::machine, "TestNumber", PolicyKind::number),
            std::nullopt);
  // Settings are texts, written and read back.
  EXPECT_EQ(native->read_setting("TestMissing"), std::nullopt);
  native->write_setting("TestText", "\xC3\xA9t\xC3\xA9 12");
  EXPECT_EQ(native->read_setting("TestText"), "\xC3\xA9t\xC3\xA9 12");
  EXPECT_THROW(native->read_setting("TestNumber"), Failure);
  RegDeleteTreeW(HKEY_CURRENT_USER, policies.c_str());
  for (const wchar_t* name : {L"TestText", L"TestNumber"}) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, settings, name);
  }
}

}  // namespace
}  // namespace parvex
#endif
