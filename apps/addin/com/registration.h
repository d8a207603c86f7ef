// Self-registration: the COM registration of the type library and the five public classes, the
// host's per-user add-in key, and the machine-wide additional data key.
#pragma once

#include <windows.h>

#include <string>

namespace parvex::com {

// The registry view one build's classes live in. 64-bit Windows keeps the class and interface
// keys of 32-bit and 64-bit servers apart; the ProgIDs, the type library's key and the host's
// add-in key are shared by both, so both builds can be registered side by side.
struct Bitness {
  REGSAM view;              // KEY_WOW64_32KEY or KEY_WOW64_64KEY
  const wchar_t* platform;  // the type library's platform subkey
};
inline constexpr Bitness kBitness32{KEY_WOW64_32KEY, L"win32"};
inline constexpr Bitness kBitness64{KEY_WOW64_64KEY, L"win64"};
#ifdef _WIN64
inline constexpr Bitness kOwnBitness = kBitness64;
#else
inline constexpr Bitness kOwnBitness = kBitness32;
#endif

// Whether COM, reading the classes in view, creates Connect from dll_path: false where it does
// not read the user's classes (wine; an elevated process with UAC off) or a machine-wide
// registration shadows them.
bool classes_root_names(const std::wstring& dll_path, REGSAM view) noexcept;

struct RegistrationSetup {
  Bitness bitness = kOwnBitness;
  bool (*com_sees)(const std::wstring& dll_path, REGSAM view) = &classes_root_names;
  // False: every change to the machine-wide part is refused, as for a user without rights there.
  bool machine_writable = true;
};

// Writes every key for the DLL at dll_path, replacing an earlier registration of ours in the
// same view. The classes go under the user's classes, and under the machine's only where COM
// would not otherwise create them from dll_path, or to bring an earlier machine-wide
// registration of ours up to date where the process may write there.
// S_OK: all written. S_FALSE: the registration works for this user, but a machine-wide key could
// not be written. A failure code: the host could not create the add-in; every key of ours is
// then as it was before the call.
HRESULT register_server(const std::wstring& dll_path, const RegistrationSetup& setup = {}) noexcept;

// Removes every key of ours in the setup's view, the shared keys once no view holds our class,
// and the parent keys this left empty. A missing key is no failure; a key of ours that could not
// be removed (a machine-wide registration, for a user without rights there) is.
HRESULT unregister_server(const RegistrationSetup& setup = {}) noexcept;

}  // namespace parvex::com
