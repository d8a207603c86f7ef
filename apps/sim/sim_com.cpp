#include "sim/sim_com.h"

#include <olectl.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "dispatch.h"
#include "extensibility.h"
#include "parvex_ids.h"
#include "ribbon_dispatch.h"
#include "sim/sim_face.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::sim {
namespace {

using com::ComPtr;

// Raises the failure a failed call of the add-in stands for, with the text it left when the
// object called says, through ISupportErrorInfo, that it leaves one: as a host reads it.
void check(HRESULT hr, const char* call, IUnknown* object = nullptr,
           const IID& iid = com::kIidIDTExtensibility2) {
  if (SUCCEEDED(hr)) return;
  std::string text;
  ComPtr<ISupportErrorInfo> support;
  ComPtr<IErrorInfo> info;
  if (object &&
      SUCCEEDED(
          object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put()))) &&
      support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, info.put()) == S_OK &&
      info) {
    pvx::win::unique_bstr description;
    if (SUCCEEDED(info->GetDescription(description.put())) && description)
      text = win::narrow(std::wstring_view(description.get(), SysStringLen(description.get())));
  }
  if (text.empty()) text = "failed";
  raise(static_cast<int32_t>(hr), std::string(call) + ": " + text, "Parvex.dll");
}

// COM for this thread while it lives.
struct Apartment {
  Apartment() { check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx"); }
  ~Apartment() {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
};

// The DLL's registration for this user, for as long as it lives; a registration that fails
// half-way is undone too.
class Registration {
 public:
  explicit Registration(std::wstring dll) : dll_(std::move(dll)) {
    const HRESULT hr = call("DllRegisterServer");
    if (FAILED(hr)) attempt([&] { call("DllUnregisterServer"); });
    check(hr, "DllRegisterServer");
  }
  ~Registration() {
    attempt([&] { call("DllUnregisterServer"); });
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  // Loaded for the call alone: in between, COM alone keeps the DLL loaded, as in a host, and
  // may unload it when it says it can go.
  HRESULT call(const char* name) const {
    const pvx::win::unique_hmodule module(LoadLibraryW(dll_.c_str()));
    if (!module) raise(err::kFileNotFound, "cannot load " + win::narrow(dll_));
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto f =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module.get(), name)));
    if (!f) raise(err::kInvalidCall, std::string("Parvex.dll lacks ") + name);
    return f();
  }

  std::wstring dll_;
};

// One Parvex.Connect, called through IDTExtensibility2 as the host calls it, and through
// IRibbonExtensibility and its IDispatch for the ribbon.
class ComConnection final : public host::Connection, public host::RibbonExtensibility {
 public:
  ComConnection(SimOutlook& outlook, std::shared_ptr<Counters> held)
      : outlook_(outlook), held_(std::move(held)) {
    CLSID clsid{};
    check(CLSIDFromProgID(L"Parvex.Connect", &clsid), "CLSIDFromProgID(Parvex.Connect)");
    check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, com::kIidIDTExtensibility2,
                           reinterpret_cast<void**>(connect_.put())),
          "CoCreateInstance(Parvex.Connect)");
  }
  ~ComConnection() override {
    dispatch_.reset();
    connect_.reset();
    outlook_.clear_addin_object();
  }

  void OnConnection(host::Ref<host::Application> application, host::ConnectMode mode,
                    host::Ref<host::AddIn> addin) override {
    // The faces go once the call returns: what the add-in keeps, it holds itself.
    const ComPtr<IDispatch> app = face::application(std::move(application), held_);
    ComPtr<IDispatch> host_addin;
    if (addin) host_addin = face::addin(std::move(addin), held_);
    check(connect_->OnConnection(app.get(), static_cast<ext_ConnectMode>(mode), host_addin.get(),
                                 &custom_),
          "OnConnection", connect_.get());
  }
  void OnDisconnection(host::DisconnectMode mode) override {
    const HRESULT hr = connect_->OnDisconnection(static_cast<ext_DisconnectMode>(mode), &custom_);
    outlook_.clear_addin_object();
    check(hr, "OnDisconnection", connect_.get());
  }
  void OnAddInsUpdate() override {
    check(connect_->OnAddInsUpdate(&custom_), "OnAddInsUpdate", connect_.get());
  }
  void OnStartupComplete() override {
    check(connect_->OnStartupComplete(&custom_), "OnStartupComplete", connect_.get());
  }
  void OnBeginShutdown() override {
    check(connect_->OnBeginShutdown(&custom_), "OnBeginShutdown", connect_.get());
  }

  // An object without IRibbonExtensibility has no ribbon: empty markup, as for any other id.
  std::string GetCustomUI(const std::string& ribbon_id) override {
    ComPtr<IRibbonExtensibility> ribbon;
    if (FAILED(connect_->QueryInterface(com::kIidIRibbonExtensibility,
                                        reinterpret_cast<void**>(ribbon.put()))))
      return {};
    const std::wstring id = win::widen(ribbon_id);
    const pvx::win::unique_bstr wanted(SysAllocStringLen(id.data(), static_cast<UINT>(id.size())));
    BSTR xml = nullptr;
    check(ribbon->GetCustomUI(wanted.get(), &xml), "GetCustomUI", ribbon.get(),
          com::kIidIRibbonExtensibility);
    const pvx::win::unique_bstr owned(xml);
    return xml ? win::narrow(std::wstring_view(xml, SysStringLen(xml))) : std::string();
  }
  int32_t GetIDOfName(const std::string& name) override {
    std::wstring wide = win::widen(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    return SUCCEEDED(dispatch()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) ? id
                                                                                              : 0;
  }
  host::RibbonCall ShapeOf(int32_t) override {
    raise(err::kInvalidCall, "the host knows each callback's shape from the markup");
  }
  host::RibbonResult Invoke(int32_t id, host::RibbonCall call,
                            const host::RibbonArgs& args) override {
    std::vector<com::Variant> given;  // in declared order
    if (call == host::RibbonCall::load) {
      given.push_back(com::Variant::of(face::ribbon_ui(args.ui, held_).get()));
    } else {
      given.push_back(com::Variant::of(face::ribbon_control(args.control, held_).get()));
    }
    if (call == host::RibbonCall::toggle) given.push_back(com::Variant::of(args.pressed));
    std::vector<VARIANTARG> reversed;
    for (auto it = given.rbegin(); it != given.rend(); ++it) reversed.push_back(**it);
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    com::Variant result;
    EXCEPINFO info{};
    const HRESULT hr = dispatch()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                          &params, result.get(), &info, nullptr);
    if (FAILED(hr)) com::raise_call_failure(hr, &info, L"ribbon callback");
    switch (call) {
      case host::RibbonCall::get_bool:
        return result.to_bool();
      case host::RibbonCall::get_text:
        return result.to_string();
      case host::RibbonCall::get_image:
        return picture(result);
      default:
        return {};
    }
  }

 private:
  IDispatch* dispatch() {
    if (!dispatch_)
      check(connect_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch_.put())),
            "QueryInterface(IDispatch)");
    return dispatch_.get();
  }
  // What the host draws: a picture it can read the size of.
  static host::RibbonImage picture(const com::Variant& value) {
    const ComPtr<IDispatch> object = value.to_dispatch();
    ComPtr<IPicture> p;
    if (!object || FAILED(object->QueryInterface(IID_IPicture, reinterpret_cast<void**>(p.put()))))
      raise(err::kInvalidCall, "getImage returned no picture");
    OLE_XSIZE_HIMETRIC width = 0;
    short type = 0;
    p->get_Width(&width);
    p->get_Type(&type);
    // HIMETRIC at 96 pixels an inch: 2540 to the inch.
    const auto pixels = static_cast<int32_t>((width * 96 + 1270) / 2540);
    return host::RibbonImage{type == PICTYPE_ICON ? "icon" : "picture", pixels};
  }

  ComPtr<IDispatch> dispatch_;
  SimOutlook& outlook_;
  std::shared_ptr<Counters> held_;
  ComPtr<IDTExtensibility2> connect_;
  SAFEARRAY* custom_ = nullptr;
};

class ComLink final : public AddinLink {
 public:
  explicit ComLink(const std::wstring& dll) {
    if (!dll.empty()) registration_.emplace(dll);
  }
  std::unique_ptr<host::Connection> create(SimOutlook& outlook) override {
    return std::make_unique<ComConnection>(outlook, held_);
  }
  const Counters& held(const SimOutlook&) const override { return *held_; }
  bool windows_here() const override { return false; }

 private:
  Apartment apartment_;
  std::optional<Registration> registration_;
  std::shared_ptr<Counters> held_ = std::make_shared<Counters>();
};

}  // namespace

std::unique_ptr<AddinLink> com_link(const std::wstring& dll) {
  return std::make_unique<ComLink>(dll);
}

std::wstring dll_beside_program() {
  wchar_t self[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return (std::filesystem::path(self).parent_path() / L"Parvex.dll").wstring();
}

namespace {
// The default value of a key under HKEY_CLASSES_ROOT: the user's classes over the machine's, as
// COM reads them. A REG_EXPAND_SZ comes expanded.
std::wstring class_value(const std::wstring& key) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    const LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ,
                                        nullptr, value.data(), &bytes);
    if (status == ERROR_MORE_DATA) {
      value.resize(bytes / sizeof(wchar_t) + 1);
      continue;
    }
    if (status != ERROR_SUCCESS) {
      raise(err::kFileNotFound, "Parvex.Connect is not registered: no HKEY_CLASSES_ROOT\\" +
                                    win::narrow(key) + " (error " + std::to_string(status) + ")");
    }
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
  }
}
}  // namespace

std::wstring registered_dll() {
  return class_value(L"CLSID\\" + class_value(L"Parvex.Connect\\CLSID") + L"\\InprocServer32");
}

}  // namespace parvex::sim
