#include "com_objects.h"

#include <utility>

#include "com_boundary.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "extensibility.h"
#include "host_dispatch.h"
#include "module.h"
#include "parvex_ids.h"
#include "ribbon_dispatch.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

ConnectionFactory& factory() {
  static ConnectionFactory f;
  return f;
}

// Connect objects alive on this thread: the thread's program state goes with the last one.
thread_local int connect_objects = 0;

// IDispatch through the type information of one of our type libraries.
class TypeInfo {
 public:
  TypeInfo(int resource, const GUID& iid) : resource_(resource), iid_(iid) {}
  HRESULT get(ITypeInfo** out) noexcept {
    if (!info_) {
      const HRESULT hr = interface_type_info(resource_, iid_, info_.put());
      if (FAILED(hr)) return hr;
    }
    *out = info_.get();
    return S_OK;
  }
  HRESULT count(UINT* n) noexcept {
    if (!n) return E_POINTER;
    *n = 1;
    return S_OK;
  }
  HRESULT type_info(UINT index, ITypeInfo** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* info = nullptr;
    const HRESULT hr = get(&info);
    if (SUCCEEDED(hr)) {
      info->AddRef();
      *out = info;
    }
    return hr;
  }
  HRESULT ids(LPOLESTR* names, UINT n, DISPID* ids) noexcept {
    ITypeInfo* info = nullptr;
    const HRESULT hr = get(&info);
    return FAILED(hr) ? hr : DispGetIDsOfNames(info, names, n, ids);
  }
  HRESULT invoke(void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* arg_error) noexcept {
    ITypeInfo* info = nullptr;
    const HRESULT hr = get(&info);
    return FAILED(hr) ? hr : DispInvoke(self, info, id, flags, params, result, excep, arg_error);
  }

 private:
  int resource_;
  GUID iid_;
  ComPtr<ITypeInfo> info_;
};

// The IDispatch methods of an interface whose type information `types` holds.
#define PARVEX_DISPATCH_METHODS(types, self)                                                  \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {                              \
    return types.count(n);                                                                    \
  }                                                                                           \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT i, LCID, ITypeInfo** out) override {             \
    return types.type_info(i, out);                                                           \
  }                                                                                           \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID, DISPID* ids) \
      override {                                                                              \
    return types.ids(names, n, ids);                                                          \
  }                                                                                           \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,   \
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg) override {   \
    return pvx::win::guard_hresult(                                                           \
        [&] { return types.invoke(self, id, flags, params, result, excep, arg); });           \
  }

// One of the four classes the add-in creates only for itself: its default interface is empty.
class PublicObject final : public ComObject<PublicObject, IDispatch> {
 public:
  explicit PublicObject(const GUID& iid) : iid_(iid), types_(1, iid) {}
  bool answers(REFIID riid) const { return riid == IID_IDispatch || riid == iid_; }
  PARVEX_DISPATCH_METHODS(types_, static_cast<IDispatch*>(this))

 private:
  GUID iid_;
  TypeInfo types_;
  LiveObject live_;
};

class ConnectObject;

// Connect's default interface _Connect: empty, as the type library says; its identity is the
// object's IUnknown.
// The ribbon's callbacks are members of this IDispatch too, found by name as the host finds
// them; they are not in the type library, whose interface stays empty.
class ConnectDefault final : public IDispatch {
 public:
  explicit ConnectDefault(ConnectObject& outer) : outer_(outer), types_(1, kPublicClasses[0].iid) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return types_.count(n); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT i, LCID, ITypeInfo** out) override {
    return types_.type_info(i, out);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg) override;

 private:
  ConnectObject& outer_;
  TypeInfo types_;
};

// IRibbonExtensibility: GetCustomUI, through its vtable or by name.
class ConnectRibbon final : public IRibbonExtensibility {
 public:
  explicit ConnectRibbon(ConnectObject& outer) : outer_(outer) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (!n) return E_POINTER;
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                          DISPID* ids) override {
    if (!names || !ids || n != 1) return DISP_E_UNKNOWNNAME;
    if (_wcsicmp(names[0], L"GetCustomUI") != 0) {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    ids[0] = kDispidGetCustomUI;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    return pvx::win::guard_hresult([&]() -> HRESULT {
      if (id != kDispidGetCustomUI) return DISP_E_MEMBERNOTFOUND;
      if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      pvx::win::unique_variant ribbon_id;
      if (FAILED(VariantChangeType(ribbon_id.get(), &params->rgvarg[0], 0, VT_BSTR)))
        return DISP_E_TYPEMISMATCH;
      BSTR xml = nullptr;
      const HRESULT hr = GetCustomUI(ribbon_id.get()->bstrVal, &xml);
      if (SUCCEEDED(hr) && result) {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = xml;
      } else {
        SysFreeString(xml);
      }
      return hr;
    });
  }
  HRESULT STDMETHODCALLTYPE GetCustomUI(BSTR RibbonID, BSTR* RibbonXml) override;

 private:
  ConnectObject& outer_;
};

// Tells hosts that the connection's methods leave error information: without it a host
// ignores the text of a failure.
class ConnectErrors final : public ISupportErrorInfo {
 public:
  explicit ConnectErrors(ConnectObject& outer) : outer_(outer) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == kIidIDTExtensibility2 || riid == kIidIRibbonExtensibility ? S_OK : S_FALSE;
  }

 private:
  ConnectObject& outer_;
};

class ConnectObject final : public ComObject<ConnectObject, IDTExtensibility2> {
 public:
  ConnectObject()
      : default_(*this), errors_(*this), ribbon_(*this), types_(2, kIidIDTExtensibility2) {
    ++connect_objects;
    if (factory()) core_ = factory()();
  }
  ~ConnectObject() {
    attempt([&] { core_.reset(); });
    // Nothing of ours may outlive the last connection on this thread: windows, host
    // references and loaded libraries would otherwise be torn down after the DLL is gone.
    if (--connect_objects == 0) attempt([] { ProgramState::reset(); });
  }

  // The identity, IUnknown, is the default interface's.
  void* interface_for(REFIID riid) noexcept {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kPublicClasses[0].iid) {
      return static_cast<IDispatch*>(&default_);
    }
    if (riid == kIidIDTExtensibility2) return static_cast<IDTExtensibility2*>(this);
    if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(&errors_);
    // Only a core with a ribbon offers one: a host then never gets empty markup from us.
    if (riid == kIidIRibbonExtensibility && ribbon())
      return static_cast<IRibbonExtensibility*>(&ribbon_);
    return nullptr;
  }
  // The core's ribbon; null when it has none.
  host::RibbonExtensibility* ribbon() noexcept {
    return dynamic_cast<host::RibbonExtensibility*>(core_.get());
  }
  PARVEX_DISPATCH_METHODS(types_, static_cast<IDTExtensibility2*>(this))

  HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* application, ext_ConnectMode mode,
                                         IDispatch* addin, SAFEARRAY**) override {
    return pvx::win::guard_hresult([&] {
      core().OnConnection(make_application(application), static_cast<host::ConnectMode>(mode),
                          addin ? make_addin(addin, &default_) : nullptr);
    });
  }
  HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode mode, SAFEARRAY**) override {
    return pvx::win::guard_hresult(
        [&] { core().OnDisconnection(static_cast<host::DisconnectMode>(mode)); });
  }
  HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY**) override {
    return pvx::win::guard_hresult([&] { core().OnAddInsUpdate(); });
  }
  HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY**) override {
    return pvx::win::guard_hresult([&] { core().OnStartupComplete(); });
  }
  HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY**) override {
    return pvx::win::guard_hresult([&] { core().OnBeginShutdown(); });
  }

 private:
  host::Connection& core() {
    if (!core_) raise(err::kObjectRequired, "The add-in's connection is not available");
    return *core_;
  }

  ConnectDefault default_;
  ConnectErrors errors_;
  ConnectRibbon ribbon_;
  TypeInfo types_;
  std::unique_ptr<host::Connection> core_;
  LiveObject live_;
};

HRESULT ConnectDefault::QueryInterface(REFIID riid, void** out) {
  return outer_.QueryInterface(riid, out);
}
ULONG ConnectDefault::AddRef() {
  return outer_.AddRef();
}
ULONG ConnectDefault::Release() {
  return outer_.Release();
}
HRESULT ConnectDefault::GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID, DISPID* ids) {
  host::RibbonExtensibility* ribbon = outer_.ribbon();
  if (ribbon && callback_ids(*ribbon, names, n, ids) == S_OK) return S_OK;
  return types_.ids(names, n, ids);
}
HRESULT ConnectDefault::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excep, UINT* arg) {
  return pvx::win::guard_hresult([&] {
    host::RibbonExtensibility* ribbon = outer_.ribbon();
    // Each call may be the one after which the host lets go of the object.
    const ComPtr<IDispatch> keep = share(static_cast<IDispatch*>(this));
    if (ribbon && id > 0) {
      bool callback = false;
      try {
        ribbon->ShapeOf(id);
        callback = true;
      } catch (...) {
      }
      if (callback) return invoke_callback(*ribbon, id, params, result, excep);
    }
    return types_.invoke(static_cast<IDispatch*>(this), id, flags, params, result, excep, arg);
  });
}
HRESULT ConnectRibbon::GetCustomUI(BSTR RibbonID, BSTR* RibbonXml) {
  return pvx::win::guard_hresult([&] {
    host::RibbonExtensibility* ribbon = outer_.ribbon();
    if (!ribbon) return static_cast<HRESULT>(E_NOTIMPL);
    return custom_ui(*ribbon, RibbonID, RibbonXml);
  });
}
HRESULT ConnectRibbon::QueryInterface(REFIID riid, void** out) {
  return outer_.QueryInterface(riid, out);
}
ULONG ConnectRibbon::AddRef() {
  return outer_.AddRef();
}
ULONG ConnectRibbon::Release() {
  return outer_.Release();
}
HRESULT ConnectErrors::QueryInterface(REFIID riid, void** out) {
  return outer_.QueryInterface(riid, out);
}
ULONG ConnectErrors::AddRef() {
  return outer_.AddRef();
}
ULONG ConnectErrors::Release() {
  return outer_.Release();
}

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
 public:
  explicit ClassFactory(size_t index) : index_(index) {}
  bool answers(REFIID riid) const { return riid == IID_IClassFactory; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return pvx::win::guard_hresult([&] {
      ComPtr<IUnknown> object;
      if (index_ == 0) {
        object.reset(static_cast<IDispatch*>(new ConnectObject()));
      } else {
        object.reset(new PublicObject(kPublicClasses[index_].iid));
      }
      return object->QueryInterface(riid, out);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++live_objects() : --live_objects();
    return S_OK;
  }

 private:
  size_t index_;
  LiveObject live_;
};

}  // namespace

void set_connection_factory(ConnectionFactory f) {
  factory() = std::move(f);
}

HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (size_t i = 0; i < kPublicClasses.size(); ++i) {
    if (clsid != kPublicClasses[i].clsid) continue;
    return pvx::win::guard_hresult([&] {
      ComPtr<IClassFactory> f(new ClassFactory(i));
      return f->QueryInterface(iid, out);
    });
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace parvex::com
