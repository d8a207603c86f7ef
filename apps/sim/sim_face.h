// The simulated client's IDispatch face: its host objects served late-bound with the member
// names and ids the real client publishes, and connection points for the events an add-in
// advises. A failing host call reaches the caller as DISP_E_EXCEPTION with its EXCEPINFO.
// What the caller holds is counted by AddRef/Release and by Advise/Unadvise alone.
#pragma once

#include <memory>

#include "dispatch.h"
#include "host/host.h"
#include "host/ribbon.h"
#include "sim/sim_outlook.h"

namespace parvex::sim::face {

using com::ComPtr;

// Each returns a new face object with one reference, the caller's, counted in held.
ComPtr<IDispatch> application(host::Ref<host::Application> app, std::shared_ptr<Counters> held);
ComPtr<IDispatch> addin(host::Ref<host::AddIn> addin, std::shared_ptr<Counters> held);
ComPtr<IDispatch> explorer(host::Ref<host::Explorer> explorer, std::shared_ptr<Counters> held);
ComPtr<IDispatch> item(host::Ref<host::Item> item, std::shared_ptr<Counters> held);
ComPtr<IDispatch> button(host::Ref<host::CommandBarButton> button, std::shared_ptr<Counters> held);
// IRibbonControl (Id, Context, Tag) and IRibbonUI (Invalidate, InvalidateControl).
ComPtr<IDispatch> ribbon_control(const host::RibbonControl& control,
                                 std::shared_ptr<Counters> held);
ComPtr<IDispatch> ribbon_ui(host::Ref<host::RibbonUI> ui, std::shared_ptr<Counters> held);

}  // namespace parvex::sim::face
