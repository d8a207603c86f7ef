// Parvex.dll's entry points. DllMain stays trivial: nothing may be loaded or torn down under
// the loader lock.
#include <windows.h>

#include <memory>

#include "addin/connect.h"
#include "com_objects.h"
#include "core/failure.h"
#include "module.h"
#include "own_module.h"
#include "registration.h"
#include "seams/native_services.h"
#include "views/views.h"

namespace {

// The core's connection with the Win32 windows drawn around it: the views start before the
// windows are created, so the startup window appears at once, and stop before the disconnection
// drops the models. A machine that cannot draw (no desktop) still packs mail, with the windows
// kept as models only.
class DrawnConnection final : public parvex::host::Connection,
                              public parvex::host::RibbonExtensibility {
 public:
  DrawnConnection() { ++connections; }
  // A host drops a connection whose OnConnection failed without disconnecting it: the views
  // stop with the last connection on the thread whatever came before, or their hook and timer
  // would run code of a module that COM may unload.
  ~DrawnConnection() override {
    if (--connections == 0) parvex::attempt([] { parvex::views::stop(); });
  }
  DrawnConnection(const DrawnConnection&) = delete;
  DrawnConnection& operator=(const DrawnConnection&) = delete;

  void OnConnection(parvex::host::Ref<parvex::host::Application> application,
                    parvex::host::ConnectMode mode,
                    parvex::host::Ref<parvex::host::AddIn> addin) override {
    parvex::attempt([] { parvex::views::start(parvex::win::own_module()); });
    core_.OnConnection(std::move(application), mode, std::move(addin));
    if (parvex::views::started()) parvex::attempt([] { parvex::views::sync(); });
  }
  void OnDisconnection(parvex::host::DisconnectMode mode) override {
    parvex::attempt([] { parvex::views::stop(); });
    core_.OnDisconnection(mode);
  }
  void OnAddInsUpdate() override { core_.OnAddInsUpdate(); }
  void OnStartupComplete() override { core_.OnStartupComplete(); }
  void OnBeginShutdown() override { core_.OnBeginShutdown(); }

  std::string GetCustomUI(const std::string& ribbon_id) override {
    return core_.GetCustomUI(ribbon_id);
  }
  int32_t GetIDOfName(const std::string& name) override { return core_.GetIDOfName(name); }
  parvex::host::RibbonCall ShapeOf(int32_t id) override { return core_.ShapeOf(id); }
  // A ribbon button may show a window: the views draw it.
  parvex::host::RibbonResult Invoke(int32_t id, parvex::host::RibbonCall call,
                                    const parvex::host::RibbonArgs& args) override {
    parvex::host::RibbonResult r = core_.Invoke(id, call, args);
    if (parvex::views::started()) parvex::attempt([] { parvex::views::sync(); });
    return r;
  }

 private:
  static thread_local int connections;
  parvex::Connect core_;
};

thread_local int DrawnConnection::connections = 0;

void install_core_connection() {
  static const bool installed = [] {
    parvex::com::set_connection_factory([] { return std::make_unique<DrawnConnection>(); });
    return true;
  }();
  (void)installed;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    parvex::set_native_services(&parvex::make_native_services);  // stores a pointer, no more
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  return pvx::win::guard_hresult([&] {
    install_core_connection();
    return parvex::com::get_class_object(clsid, iid, out);
  });
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return parvex::com::live_objects() == 0 && parvex::views::live() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  return pvx::win::guard_hresult(
      [] { return parvex::com::register_server(parvex::win::own_module_path()); });
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return pvx::win::guard_hresult([] { return parvex::com::unregister_server(); });
}
