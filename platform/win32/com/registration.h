// Self-registration: the per-user COM registration of the type library and the five public
// classes, the host's per-user add-in key, and the machine-wide additional data key.
#pragma once

#include <windows.h>

#include <string>

namespace parvex::com {

// Whether COM, as the host will ask it, finds Connect by its ProgID.
bool com_resolves_connect() noexcept;

// Writes every key for the DLL at dll_path, replacing an earlier registration of ours. The
// classes go under the user's classes; where com_resolves says COM does not read those
// (wine), or where a machine-wide registration of ours exists, under the machine's as well. S_OK:
// all written. S_FALSE: the registration works for this user but the machine-wide data key could
// not be written (a user without rights there). A failure code: the host could not create the
// add-in (a key could not be written); nothing of ours is left behind then.
HRESULT register_server(const std::wstring& dll_path,
                        bool (*com_resolves)() = &com_resolves_connect) noexcept;

// Removes every key register_server writes, and nothing else (a missing key is no failure).
// S_FALSE when only the machine-wide key could not be removed; a failure code when a per-user
// key could not.
HRESULT unregister_server() noexcept;

}  // namespace parvex::com
