// Parvex.dll's entry points. DllMain stays trivial: nothing may be loaded or torn down under
// the loader lock.
#include <windows.h>

#include <memory>

#include "addin/connect.h"
#include "com_objects.h"
#include "module.h"
#include "registration.h"

namespace {

void install_core_connection() {
  static const bool installed = [] {
    parvex::com::set_connection_factory([] { return std::make_unique<parvex::Connect>(); });
    return true;
  }();
  (void)installed;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  try {
    install_core_connection();
  } catch (...) {
    return parvex::com::caught_hresult();
  }
  return parvex::com::get_class_object(clsid, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return parvex::com::live_objects() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    return parvex::com::register_server(parvex::com::own_module_path());
  } catch (...) {
    return parvex::com::caught_hresult();
  }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return parvex::com::unregister_server();
}
