// Parvex.dll driven through COM, as the mail client drives it: registered for this user while
// the link lives (and unregistered when it ends, however it ends), each connection a
// Parvex.Connect created by its ProgID and handed the IDispatch face of the simulated client.
#pragma once

#include <memory>
#include <string>

#include "sim/sim_session.h"

namespace parvex::sim {

// dll: the path of Parvex.dll; empty: the one already registered (an installed package), left
// registered. Raises when COM cannot start or the DLL cannot be registered.
std::unique_ptr<AddinLink> com_link(const std::wstring& dll);

// Parvex.dll beside this program.
std::wstring dll_beside_program();

// The Parvex.dll COM creates Parvex.Connect from, as the class registry names it. Raises when
// none is registered.
std::wstring registered_dll();

}  // namespace parvex::sim
