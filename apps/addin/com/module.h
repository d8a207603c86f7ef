// What the DLL as a whole keeps: the count of live objects behind DllCanUnloadNow, and its
// type libraries.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <atomic>

#include "com_boundary.h"

namespace parvex::com {

// Objects of ours alive right now (COM objects, host adapters, sinks) plus server locks.
std::atomic<long>& live_objects();

// Counts its owner among the live objects for as long as it exists.
struct LiveObject {
  LiveObject() noexcept { ++live_objects(); }
  LiveObject(const LiveObject&) noexcept : LiveObject() {}
  LiveObject& operator=(const LiveObject&) noexcept = default;
  ~LiveObject() { --live_objects(); }
};

// IUnknown for our COM objects: a reference count that deletes the object at zero, and
// QueryInterface answered by Derived::interface_for(iid). An object with one vtable, Interface,
// keeps the default below and says in Derived::answers(iid) which interfaces it has besides
// IUnknown; an object with more vtables declares its own interface_for.
template <class Derived, class Interface>
class ComObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = static_cast<Derived*>(this)->interface_for(riid);
    if (!*out) return E_NOINTERFACE;
    this->AddRef();
    return S_OK;
  }
  // The pointer that answers riid, or null.
  void* interface_for(REFIID riid) noexcept {
    if (riid == IID_IUnknown || static_cast<const Derived*>(this)->answers(riid)) {
      return static_cast<Interface*>(this);
    }
    return nullptr;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// Type information of an interface described by one of our type libraries: resource 1 (ours)
// or 2 (the host's add-in connection interface). Dual interfaces yield their vtable half.
HRESULT interface_type_info(int resource, const GUID& iid, ITypeInfo** out) noexcept;

}  // namespace parvex::com
