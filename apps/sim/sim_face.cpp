#include "sim/sim_face.h"

#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "com_boundary.h"
#include "core/failure.h"
#include "event_sink.h"
#include "text_win32.h"

namespace parvex::sim::face {
namespace {

namespace ev = com::events;
using com::Variant;
using Held = std::shared_ptr<Counters>;

[[noreturn]] void argument_failure(HRESULT hr, const char* text) {
  raise(static_cast<int32_t>(hr), text, "Outlook");
}

// The arguments of one call, in declared order.
class Args {
 public:
  explicit Args(const DISPPARAMS& p) : p_(p) {}
  bool given(size_t i) const {  // present and not an omitted optional argument
    if (i >= p_.cArgs) return false;
    const VARIANT& v = p_.rgvarg[p_.cArgs - 1 - i];
    return !(v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
  }
  const VARIANT& at(size_t i) const {
    if (!given(i)) argument_failure(DISP_E_PARAMNOTOPTIONAL, "Argument not optional");
    return p_.rgvarg[p_.cArgs - 1 - i];
  }
  std::string text(size_t i) const { return text_of(at(i)); }
  int32_t number(size_t i) const { return converted(at(i), VT_I4).get()->lVal; }
  bool flag(size_t i) const { return flag_of(at(i)); }

  static Variant converted(const VARIANT& value, VARTYPE type) {
    Variant v;
    if (FAILED(VariantChangeType(v.get(), const_cast<VARIANT*>(&value), 0, type)))
      argument_failure(DISP_E_TYPEMISMATCH, "Type mismatch");
    return v;
  }
  static std::string text_of(const VARIANT& value) {
    const Variant v = converted(value, VT_BSTR);
    return win::narrow(std::wstring_view((*v).bstrVal, SysStringLen((*v).bstrVal)));
  }
  static bool flag_of(const VARIANT& value) {
    return converted(value, VT_BOOL).get()->boolVal != VARIANT_FALSE;
  }

 private:
  const DISPPARAMS& p_;
};

// Calls one advised sink; a failure it reports is raised here, for the event's raiser to see.
void fire(IDispatch* sink, DISPID id, std::vector<Variant> args = {}) {
  const ComPtr<IDispatch> keep = com::share(sink);  // the handler may unadvise it
  std::vector<VARIANTARG> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO info{};
  const HRESULT hr = keep->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  nullptr, &info, nullptr);
  if (FAILED(hr)) com::raise_call_failure(hr, &info, L"event handler");
}

Variant bool_ref(VARIANT_BOOL* target) {
  Variant v;
  v.get()->vt = VT_BYREF | VT_BOOL;
  v.get()->pboolVal = target;
  return v;
}

// Subscribes one sink to every event of one interface; the subscriptions end with the vector.
using Subscriptions = std::vector<host::SubscriptionPtr>;
using Subscriber = std::function<Subscriptions(IDispatch* sink)>;

class Object;

class Point final : public IConnectionPoint {
 public:
  Point(Object& owner, const IID& iid, Subscriber subscribe, Held held)
      : owner_(owner), iid_(iid), subscribe_(std::move(subscribe)), held_(std::move(held)) {}
  // Sinks still advised stay counted: only Unadvise ends a subscription in the count.
  ~Point() = default;
  const IID& iid() const { return iid_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    // As the real client does: the sink must speak the event interface itself.
    ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(events.put()))) || !events)
      return CONNECT_E_CANNOTCONNECT;
    const HRESULT hr = pvx::win::guard_hresult([&] {
      Connection c{std::move(events), {}, next_cookie_};
      c.subscriptions = subscribe_(c.sink.get());
      sinks_.push_back(std::move(c));
    });
    if (FAILED(hr)) return hr;
    *cookie = next_cookie_++;
    ++held_->subscriptions;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    const auto it = std::find_if(sinks_.begin(), sinks_.end(),
                                 [&](const Connection& c) { return c.cookie == cookie; });
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    const Connection doomed = std::move(*it);  // ends after the erase, whatever it releases
    sinks_.erase(it);
    --held_->subscriptions;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  struct Connection {
    ComPtr<IDispatch> sink;
    Subscriptions subscriptions;  // declared after the sink: they end first
    DWORD cookie;
  };
  Object& owner_;
  IID iid_;
  Subscriber subscribe_;
  Held held_;
  DWORD next_cookie_ = 1;
  std::vector<Connection> sinks_;
};

// One client object: named members with fixed ids, and the connection points of its events.
class Object final : public IDispatch, public IConnectionPointContainer, public IOleWindow {
 public:
  using Getter = std::function<Variant(const Args&)>;
  using Putter = std::function<void(const VARIANT&)>;

  explicit Object(Held held) : held_(std::move(held)) { ++held_->references; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  void member(const wchar_t* name, DISPID id, Getter get, Putter put = nullptr) {
    members_.push_back(Member{name, id, std::move(get), std::move(put)});
  }
  void events(const IID& iid, Subscriber subscribe) {
    points_.push_back(std::make_unique<Point>(*this, iid, std::move(subscribe), held_));
  }
  void on_delete(std::function<void()> f) { on_delete_ = std::move(f); }
  // A window's object answers IOleWindow with its native window, as the client's do.
  void native_window(std::function<std::uintptr_t()> f) { native_window_ = std::move(f); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else if (riid == IID_IConnectionPointContainer && !points_.empty()) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IOleWindow && native_window_) {
      *out = static_cast<IOleWindow*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ++held_->references;
    return ++refs_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    --held_->references;
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (!n) return E_POINTER;
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                          DISPID* ids) override {
    if (!names || !ids || n != 1) return DISP_E_UNKNOWNNAME;
    const std::wstring_view wanted = names[0];
    for (const auto& m : members_) {
      if (std::ranges::equal(m.name, wanted, [](wchar_t x, wchar_t y) {
            return std::towlower(x) == std::towlower(y);
          })) {
        ids[0] = m.id;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT*) override {
    const auto m =
        std::find_if(members_.begin(), members_.end(), [&](const Member& x) { return x.id == id; });
    if (m == members_.end() || !params) return DISP_E_MEMBERNOTFOUND;
    if (result) VariantInit(result);
    const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    if (put ? !m->put : !m->get) return DISP_E_MEMBERNOTFOUND;
    // A put names its value; without that the call is malformed.
    if (put && (params->cArgs != 1 || params->cNamedArgs != 1 ||
                params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
      return DISP_E_PARAMNOTFOUND;
    AddRef();  // the call may drop the caller's last reference to this object
    const pvx::scope_exit release([this] { Release(); });
    // As the real client reports a failed call: the number as an HRESULT, with source and text.
    const HRESULT hr = pvx::win::guard_event(info, [&] {
      if (put) {
        m->put(params->rgvarg[0]);
      } else {
        Variant r = m->get(Args(*params));
        if (result) r.detach_to(result);
      }
      return S_OK;
    });
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return pvx::win::guard_hresult([&] {
      *out = reinterpret_cast<HWND>(native_window_());
      return *out ? S_OK : E_FAIL;
    });
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override {
    return pvx::win::guard_hresult([] { return E_NOTIMPL; });
  }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    for (const auto& p : points_) {
      if (p->iid() == riid) {
        p->AddRef();
        *out = p.get();
        return S_OK;
      }
    }
    *out = nullptr;
    return CONNECT_E_NOCONNECTION;
  }

 private:
  ~Object() {
    if (on_delete_) on_delete_();
  }

  struct Member {
    std::wstring name;
    DISPID id;
    Getter get;
    Putter put;
  };
  Held held_;
  std::atomic<ULONG> refs_{1};
  std::vector<Member> members_;
  std::vector<std::unique_ptr<Point>> points_;
  std::function<void()> on_delete_;
  std::function<std::uintptr_t()> native_window_;
};

HRESULT Point::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}
ULONG Point::AddRef() {
  return owner_.AddRef();
}
ULONG Point::Release() {
  return owner_.Release();
}
HRESULT Point::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = &owner_;
  owner_.AddRef();
  return S_OK;
}

// A new face object: the returned pointer owns it; members are added through the second.
std::pair<ComPtr<IDispatch>, Object*> make(const Held& held) {
  auto* o = new Object(held);
  return {ComPtr<IDispatch>(static_cast<IDispatch*>(o)), o};
}

template <class T>
using Face = ComPtr<IDispatch> (*)(host::Ref<T>, Held);

// The face of a host object as a call's value; Nothing for none.
template <class T>
Variant value(host::Ref<T> object, Face<T> face, const Held& held) {
  if (!object) return Variant::of(static_cast<IDispatch*>(nullptr));
  const ComPtr<IDispatch> f = face(std::move(object), held);
  return Variant::of(f.get());
}

Variant text(const std::string& s) {
  return Variant::of(s);
}

ComPtr<IDispatch> name_space(host::Ref<host::Namespace>, Held held) {
  return make(held).first;
}

ComPtr<IDispatch> inspector(host::Ref<host::Inspector> window, Held held);
ComPtr<IDispatch> attachment(host::Ref<host::Attachment> a, Held held);

ComPtr<IDispatch> explorers(host::Ref<host::Explorers> list, Held held) {
  auto [face, o] = make(held);
  o->member(L"Count", 80, [list](const Args&) { return Variant::of(list->Count()); });
  o->events(ev::kExplorers, [list, held](IDispatch* sink) {
    Subscriptions s;
    s.push_back(list->OnNewExplorer([sink, held](host::Ref<host::Explorer> e) {
      std::vector<Variant> args;
      args.push_back(value(std::move(e), &explorer, held));
      fire(sink, ev::kNewWindow, std::move(args));
    }));
    return s;
  });
  return std::move(face);
}

ComPtr<IDispatch> inspectors(host::Ref<host::Inspectors> list, Held held) {
  auto [face, o] = make(held);
  o->member(L"Count", 80, [list](const Args&) { return Variant::of(list->Count()); });
  o->events(ev::kInspectors, [list, held](IDispatch* sink) {
    Subscriptions s;
    s.push_back(list->OnNewInspector([sink, held](host::Ref<host::Inspector> i) {
      std::vector<Variant> args;
      args.push_back(value(std::move(i), &inspector, held));
      fire(sink, ev::kNewWindow, std::move(args));
    }));
    return s;
  });
  return std::move(face);
}

// Caption, and Activate and Close on the window's event interface.
template <class Window>
void window_members(Object& o, const host::Ref<Window>& window, const IID& iid, const Held& held) {
  o.member(L"Caption", 8465, [window](const Args&) { return text(window->Caption()); });
  o.native_window([window] { return window->WindowHandle(); });
  o.events(iid, [window, held](IDispatch* sink) {
    Subscriptions s;
    s.push_back(window->OnActivate([sink] { fire(sink, ev::kActivate); }));
    s.push_back(window->OnClose([sink] { fire(sink, ev::kClose); }));
    if constexpr (std::is_same_v<Window, host::Explorer>) {
      s.push_back(window->OnInlineResponse([sink, held](host::Ref<host::Item> reply) {
        std::vector<Variant> args;
        args.push_back(value(std::move(reply), &item, held));
        fire(sink, ev::kInlineResponse, std::move(args));
      }));
    }
    return s;
  });
}

ComPtr<IDispatch> controls(host::Ref<host::CommandBarControls> list, Held held) {
  auto [face, o] = make(held);
  o->member(L"Add", 0x60020000, [list, held](const Args& a) {
    const int32_t type = a.given(0) ? a.number(0) : host::kControlButton;
    return value(list->Add(type, a.given(4) && a.flag(4)), &button, held);
  });
  return std::move(face);
}

ComPtr<IDispatch> command_bar(host::Ref<host::CommandBar> bar, Held held) {
  auto [face, o] = make(held);
  o->member(L"Visible", 0x6003001E, nullptr,
            [bar](const VARIANT& v) { bar->SetVisible(Args::flag_of(v)); });
  o->member(L"Controls", 0x60030003,
            [bar, held](const Args&) { return value(bar->GetControls(), &controls, held); });
  return std::move(face);
}

ComPtr<IDispatch> command_bars(host::Ref<host::CommandBars> bars, Held held) {
  auto [face, o] = make(held);
  o->member(L"Item", DISPID_VALUE, [bars, held](const Args& a) {
    return value(bars->GetItem(a.text(0)), &command_bar, held);
  });
  return std::move(face);
}

ComPtr<IDispatch> inspector(host::Ref<host::Inspector> window, Held held) {
  auto [face, o] = make(held);
  window_members(*o, window, ev::kInspector, held);
  o->member(L"CurrentItem", 8450,
            [window, held](const Args&) { return value(window->CurrentItem(), &item, held); });
  return std::move(face);
}

ComPtr<IDispatch> attachments(host::Ref<host::Attachments> list, Held held) {
  auto [face, o] = make(held);
  o->member(L"Count", 80, [list](const Args&) { return Variant::of(list->Count()); });
  o->member(L"Item", 81, [list, held](const Args& a) {
    return value(list->GetItem(a.number(0)), &attachment, held);
  });
  o->member(L"Add", 101, [list, held](const Args& a) {
    const std::optional<int32_t> type = a.given(1) ? std::optional(a.number(1)) : std::nullopt;
    const std::optional<int32_t> at = a.given(2) ? std::optional(a.number(2)) : std::nullopt;
    return value(list->Add(a.text(0), type, at, a.given(3) ? a.text(3) : ""), &attachment, held);
  });
  return std::move(face);
}

// "http://schemas.microsoft.com/mapi/proptag/0x3712001F" as its tag; 0 for any other name.
uint32_t property_tag(const std::string& name) {
  const std::string prefix = "http://schemas.microsoft.com/mapi/proptag/0x";
  if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) return 0;
  try {
    size_t used = 0;
    const auto tag = std::stoul(name.substr(prefix.size()), &used, 16);
    return used == 8 ? static_cast<uint32_t>(tag) : 0;
  } catch (...) {
    return 0;
  }
}

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x8004010F);  // MAPI_E_NOT_FOUND

using PropertyGetter = std::function<std::optional<host::PropertyValue>(const std::string&)>;
using PropertySetter = std::function<void(const std::string&, const host::PropertyValue&)>;

// A property the object lacks fails as the host's does: MAPI_E_NOT_FOUND.
ComPtr<IDispatch> property_accessor(PropertyGetter get, PropertySetter set, Held held) {
  auto [face, o] = make(held);
  o->member(L"GetProperty", 64287, [get](const Args& args) {
    const std::string name = args.text(0);
    const uint32_t tag = property_tag(name);
    const auto value = get(name);
    if (!value)
      raise(kNotFound, "The property \"" + name + "\" is unknown or cannot be found.", "Outlook");
    if (const auto* t = std::get_if<std::string>(&*value)) return text(*t);
    const int64_t number = std::get<int64_t>(*value);
    if ((tag & 0xFFFF) == 0x000B) return Variant::of(number != 0);  // PT_BOOLEAN
    return Variant::of(static_cast<int32_t>(number));
  });
  o->member(L"SetProperty", 64288, [set](const Args& args) {
    if (args.at(1).vt == VT_BSTR) {
      set(args.text(0), args.text(1));
    } else {
      set(args.text(0), int64_t{args.number(1)});
    }
    return Variant();
  });
  return std::move(face);
}

// An item's named properties; one it lacks fails as the host's does.
ComPtr<IDispatch> item_properties(host::Ref<host::Item> item, Held held) {
  auto [face, o] = make(held);
  o->member(L"GetProperty", 64287, [item](const Args& args) {
    const std::string name = args.text(0);
    const auto value = item->GetProperty(name);
    if (!value)
      raise(kNotFound, "The property \"" + name + "\" is unknown or cannot be found.", "Outlook");
    if (const auto* t = std::get_if<std::string>(&*value)) return text(*t);
    return Variant::of(static_cast<int32_t>(std::get<int64_t>(*value)));
  });
  o->member(L"SetProperty", 64288, [item](const Args& args) {
    const VARIANT& v = args.at(1);
    if (v.vt == VT_BSTR) {
      item->SetProperty(args.text(0), Args::text_of(v));
    } else {
      item->SetProperty(args.text(0), int64_t{args.number(1)});
    }
    return Variant();
  });
  return std::move(face);
}

ComPtr<IDispatch> attachment(host::Ref<host::Attachment> a, Held held) {
  auto [face, o] = make(held);
  o->member(L"FileName", 14084, [a](const Args&) { return text(a->FileName()); });
  o->member(L"Type", 14085, [a](const Args&) { return Variant::of(a->Type()); });
  o->member(L"Size", 64209,
            [a](const Args&) { return Variant::of(static_cast<int32_t>(a->Size())); });
  o->member(L"PropertyAccessor", 64253, [a, held](const Args&) {
    const auto get = [a](const std::string& name) {
      const uint32_t tag = property_tag(name);
      return tag ? a->Property(tag) : a->NamedProperty(name);
    };
    const auto set = [a](const std::string& name, const host::PropertyValue& value) {
      a->SetProperty(name, value);
    };
    return Variant::of(property_accessor(get, set, held).get());
  });
  o->member(L"SaveAsFile", 104, [a](const Args& args) {
    a->SaveAsFile(args.text(0));
    return Variant();
  });
  o->member(L"Delete", 105, [a](const Args&) {
    a->Delete();
    return Variant();
  });
  return std::move(face);
}

}  // namespace

ComPtr<IDispatch> application(host::Ref<host::Application> app, Held held) {
  auto [face, o] = make(held);
  o->member(L"GetNamespace", 272, [app, held](const Args& a) {
    return value(app->GetNamespace(a.text(0)), &name_space, held);
  });
  o->member(L"ActiveExplorer", 273,
            [app, held](const Args&) { return value(app->ActiveExplorer(), &explorer, held); });
  o->member(L"ActiveInspector", 274,
            [app, held](const Args&) { return value(app->ActiveInspector(), &inspector, held); });
  o->member(L"Explorers", 281,
            [app, held](const Args&) { return value(app->GetExplorers(), &explorers, held); });
  o->member(L"Inspectors", 282,
            [app, held](const Args&) { return value(app->GetInspectors(), &inspectors, held); });
  o->events(ev::kApplication, [app, held](IDispatch* sink) {
    Subscriptions s;
    s.push_back(app->OnStartup([sink] { fire(sink, ev::kStartup); }));
    s.push_back(app->OnItemSend([sink, held](host::Ref<host::Item> sent, bool& cancel) {
      VARIANT_BOOL flag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
      std::vector<Variant> args;
      args.push_back(value(std::move(sent), &item, held));
      args.push_back(bool_ref(&flag));
      fire(sink, ev::kItemSend, std::move(args));
      cancel = flag != VARIANT_FALSE;
    }));
    return s;
  });
  return std::move(face);
}

ComPtr<IDispatch> addin(host::Ref<host::AddIn> addin, Held held) {
  auto [face, o] = make(held);
  o->member(L"Object", 0x60020002, nullptr, [addin](const VARIANT& v) {
    Variant copy;
    if (FAILED(VariantCopyInd(copy.get(), const_cast<VARIANT*>(&v))))
      argument_failure(DISP_E_TYPEMISMATCH, "Type mismatch");
    IDispatch* object = copy.to_dispatch().release();  // owned by the pointer below
    addin->SetObject(std::shared_ptr<void>(object, [](void* p) {
      if (p) static_cast<IDispatch*>(p)->Release();
    }));
  });
  return std::move(face);
}

ComPtr<IDispatch> explorer(host::Ref<host::Explorer> window, Held held) {
  auto [face, o] = make(held);
  window_members(*o, window, ev::kExplorer, held);
  o->member(L"CommandBars", 8448, [window, held](const Args&) {
    return value(window->GetCommandBars(), &command_bars, held);
  });
  o->member(L"ActiveInlineResponse", 64797, [window, held](const Args&) {
    return value(window->ActiveInlineResponse(), &item, held);
  });
  return std::move(face);
}

// The face of each item while one is held: as the real client hands out one object for an
// open item, which is how the add-in knows the item of ItemSend for the one it tracks.
std::map<const host::Item*, IDispatch*>& item_faces() {
  static thread_local std::map<const host::Item*, IDispatch*> faces;
  return faces;
}

ComPtr<IDispatch> item(host::Ref<host::Item> item, Held held) {
  const host::Item* key = item.get();
  if (const auto it = item_faces().find(key); it != item_faces().end()) {
    return com::share(it->second);
  }
  auto [face, o] = make(held);
  item_faces()[key] = face.get();
  o->on_delete([key] { item_faces().erase(key); });
  o->member(L"Class", 61450, [item](const Args&) { return Variant::of(item->Class()); });
  o->member(L"Subject", 55, [item](const Args&) { return Variant::of(item->Subject()); });
  o->member(L"BodyFormat", 64073, [item](const Args&) { return Variant::of(item->BodyFormat()); });
  o->member(L"HTMLBody", 62468, [item](const Args&) { return Variant::of(item->HtmlBody()); });
  o->member(L"Attachments", 63509, [item, held](const Args&) {
    return value(item->GetAttachments(), &attachments, held);
  });
  o->member(L"PropertyAccessor", 64253,
            [item, held](const Args&) { return Variant::of(item_properties(item, held).get()); });
  o->events(ev::kItem, [item](IDispatch* sink) {
    Subscriptions s;
    s.push_back(item->OnRead([sink] { fire(sink, ev::kRead); }));
    s.push_back(item->OnSend([sink](bool& cancel) {
      VARIANT_BOOL flag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
      std::vector<Variant> args;
      args.push_back(bool_ref(&flag));
      fire(sink, ev::kSend, std::move(args));
      cancel = flag != VARIANT_FALSE;
    }));
    return s;
  });
  return std::move(face);
}

ComPtr<IDispatch> button(host::Ref<host::CommandBarButton> button, Held held) {
  auto [face, o] = make(held);
  o->member(L"Caption", 0x60030003, nullptr,
            [button](const VARIANT& v) { button->SetCaption(Args::text_of(v)); });
  o->member(L"Enabled", 0x6003000A, nullptr,
            [button](const VARIANT& v) { button->SetEnabled(Args::flag_of(v)); });
  o->member(L"Delete", 0x60030011, [button](const Args&) {
    button->Delete();
    return Variant();
  });
  o->events(ev::kButton, [button, held](IDispatch* sink) {
    Subscriptions s;
    s.push_back(
        button->OnClick([sink, held](host::Ref<host::CommandBarButton> ctrl, bool& cancel_default) {
          VARIANT_BOOL flag = cancel_default ? VARIANT_TRUE : VARIANT_FALSE;
          std::vector<Variant> args;
          args.push_back(value(std::move(ctrl), &face::button, held));
          args.push_back(bool_ref(&flag));
          fire(sink, ev::kClick, std::move(args));
          cancel_default = flag != VARIANT_FALSE;
        }));
    return s;
  });
  return std::move(face);
}

ComPtr<IDispatch> ribbon_control(const host::RibbonControl& control, Held held) {
  auto [face, o] = make(held);
  o->member(L"Id", 1, [id = control.id](const Args&) { return text(id); });
  o->member(L"Context", 2, [control, held](const Args&) {
    if (control.inspector) return value(control.inspector, &inspector, held);
    return value(control.explorer, &explorer, held);
  });
  o->member(L"Tag", 3, [](const Args&) { return text(""); });
  return std::move(face);
}

ComPtr<IDispatch> ribbon_ui(host::Ref<host::RibbonUI> ui, Held held) {
  auto [face, o] = make(held);
  o->member(L"Invalidate", 1, [ui](const Args&) {
    ui->Invalidate();
    return Variant();
  });
  o->member(L"InvalidateControl", 2, [ui](const Args& a) {
    ui->InvalidateControl(a.text(0));
    return Variant();
  });
  return std::move(face);
}

}  // namespace parvex::sim::face
