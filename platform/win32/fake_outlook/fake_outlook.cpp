#include "fake_outlook.h"

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "event_sink.h"
#include "text_win32.h"

namespace parvex::fake {
namespace {

namespace ev = com::events;

Variant text_value(const std::wstring& s) {
  return Variant::of(win::narrow(s));
}

Variant object_value(Object* o) {
  return Variant::of(o ? o->dispatch() : static_cast<IDispatch*>(nullptr));
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

BSTR bstr(const std::wstring& s) {
  return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

}  // namespace

std::atomic<long> Object::alive{0};
std::atomic<long> Object::sinks{0};
std::atomic<long> Object::sink_failures{0};
std::atomic<long> Object::name_lookups{0};

bool Args::given(size_t i) const {
  if (i >= p_.cArgs) return false;
  const VARIANT& v = p_.rgvarg[p_.cArgs - 1 - i];
  return !(v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

const VARIANT& Args::at(size_t i) const {
  if (!given(i)) throw HostError{DISP_E_PARAMNOTOPTIONAL, L"Argument not optional"};
  return p_.rgvarg[p_.cArgs - 1 - i];
}

std::wstring Args::text(size_t i) const {
  return text_of(at(i));
}

std::wstring Args::text_of(const VARIANT& value) {
  Variant v;
  if (FAILED(VariantChangeType(v.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR)))
    throw HostError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
  return std::wstring(v.get()->bstrVal, SysStringLen(v.get()->bstrVal));
}

int32_t Args::number(size_t i) const {
  Variant v;
  if (FAILED(VariantChangeType(v.get(), const_cast<VARIANT*>(&at(i)), 0, VT_I4)))
    throw HostError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
  return v.get()->lVal;
}

bool Args::flag(size_t i) const {
  return flag_of(at(i));
}

bool Args::flag_of(const VARIANT& value) {
  Variant v;
  if (FAILED(VariantChangeType(v.get(), const_cast<VARIANT*>(&value), 0, VT_BOOL)))
    throw HostError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
  return v.get()->boolVal != VARIANT_FALSE;
}

// --- ConnectionPoint ---

void ConnectionPoint::fire(DISPID id, std::vector<Variant>& args) {
  std::vector<VARIANTARG> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  // A sink may unadvise itself or others while it runs.
  std::vector<ComPtr<IDispatch>> targets;
  for (const auto& [cookie, sink] : sinks_) targets.push_back(com::share(sink.get()));
  for (const auto& sink : targets) {
    EXCEPINFO info{};
    if (FAILED(sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &info, nullptr)))
      ++Object::sink_failures;
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** out) {
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}
ULONG ConnectionPoint::AddRef() {
  return owner_.AddRef();
}
ULONG ConnectionPoint::Release() {
  return owner_.Release();
}
HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  *iid = iid_;
  return S_OK;
}
HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  *out = &owner_;
  owner_.AddRef();
  return S_OK;
}
HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  // As the real client does: the sink must speak the event interface itself.
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(events.put()))))
    return CONNECT_E_CANNOTCONNECT;
  *cookie = next_cookie_++;
  sinks_.emplace_back(*cookie, std::move(events));
  ++Object::sinks;
  return S_OK;
}
HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  const auto it =
      std::find_if(sinks_.begin(), sinks_.end(), [&](const auto& s) { return s.first == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  const ComPtr<IDispatch> doomed = std::move(it->second);  // released after the erase
  sinks_.erase(it);
  --Object::sinks;
  return S_OK;
}
HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
  *out = nullptr;
  return E_NOTIMPL;
}

// --- Object ---

Object::Object() {
  ++alive;
}

Object::~Object() {
  for (auto* p : points_) {
    sinks -= static_cast<long>(p->advised());
    delete p;
  }
  --alive;
}

HRESULT Object::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *out = static_cast<IDispatch*>(this);
  } else if (riid == IID_IConnectionPointContainer && !points_.empty()) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG Object::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT Object::GetTypeInfoCount(UINT* n) {
  *n = 0;
  return S_OK;
}
HRESULT Object::GetTypeInfo(UINT, LCID, ITypeInfo** out) {
  *out = nullptr;
  return E_NOTIMPL;
}

HRESULT Object::GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID, DISPID* ids) {
  ++name_lookups;
  if (n != 1) return DISP_E_UNKNOWNNAME;
  for (const auto& m : members_) {
    if (same_name(m.name, names[0])) {
      ids[0] = m.id;
      return S_OK;
    }
  }
  ids[0] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

HRESULT Object::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* info, UINT*) {
  const auto m =
      std::find_if(members_.begin(), members_.end(), [&](const Member& x) { return x.id == id; });
  if (m == members_.end() || !params) return DISP_E_MEMBERNOTFOUND;
  if (result) VariantInit(result);
  try {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      if (!m->put) return DISP_E_MEMBERNOTFOUND;
      // A put names its value; without that the call is malformed.
      if (params->cArgs != 1 || params->cNamedArgs != 1 ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
        return DISP_E_PARAMNOTFOUND;
      m->put(params->rgvarg[0]);
      return S_OK;
    }
    if (!m->get) return DISP_E_MEMBERNOTFOUND;
    Variant r = m->get(Args(*params));
    if (result) r.detach_to(result);
    return S_OK;
  } catch (const HostError& e) {
    if (info) {
      *info = EXCEPINFO{};
      info->scode = e.scode;
      info->bstrSource = bstr(L"Fake Outlook");
      info->bstrDescription = bstr(e.description);
    }
    return DISP_E_EXCEPTION;
  }
}

HRESULT Object::EnumConnectionPoints(IEnumConnectionPoints** out) {
  *out = nullptr;
  return E_NOTIMPL;
}

HRESULT Object::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  for (auto* p : points_) {
    if (p->iid() == riid) {
      p->AddRef();
      *out = p;
      return S_OK;
    }
  }
  *out = nullptr;
  return CONNECT_E_NOCONNECTION;
}

size_t Object::advised() const {
  size_t n = 0;
  for (const auto* p : points_) n += p->advised();
  return n;
}

void Object::fire(const IID& events, DISPID id, std::vector<Variant> args) {
  AddRef();  // a handler may drop the last other reference
  for (auto* p : points_) {
    if (p->iid() == events) p->fire(id, args);
  }
  Release();
}

void Object::member(const wchar_t* name, DISPID id, Getter get, Putter put) {
  members_.push_back(Member{name, id, std::move(get), std::move(put)});
}

void Object::events(const IID& iid) {
  points_.push_back(new ConnectionPoint(*this, iid));
}

// --- Attachments and items ---

Attachment::Attachment(MailItem& item, std::wstring file_name, std::wstring display_name,
                       std::string bytes)
    : item_(&item),
      file_name_(std::move(file_name)),
      display_name_(std::move(display_name)),
      bytes_(std::move(bytes)) {
  member(L"FileName", 14084, [this](const Args&) { return text_value(file_name_); });
  member(L"DisplayName", 14080, [this](const Args&) { return text_value(display_name_); });
  member(L"SaveAsFile", 104, [this](const Args& a) {
    std::ofstream out(std::filesystem::path(a.text(0)), std::ios::binary | std::ios::trunc);
    out.write(bytes_.data(), static_cast<std::streamsize>(bytes_.size()));
    if (!out.flush()) {
      throw HostError{STG_E_PATHNOTFOUND, L"Cannot save the attachment. Path does not exist."};
    }
    return Variant();
  });
  member(L"Delete", 105, [this](const Args&) {
    if (!item_) throw HostError{E_FAIL, L"The attachment was already deleted."};
    item_->remove(this);
    return Variant();
  });
}

MailItem::MailItem(std::wstring subject, int32_t item_class)
    : subject_(std::move(subject)), class_(item_class), collection_(make<Collection>()) {
  auto& c = *collection_.get();
  c.member(L"Count", 80,
           [this](const Args&) { return Variant::of(static_cast<int32_t>(attachments_.size())); });
  c.member(L"Item", 81, [this](const Args& a) {
    const int32_t i = a.number(0);
    if (i < 1 || i > static_cast<int32_t>(attachments_.size()))
      throw HostError{DISP_E_BADINDEX, L"Array index out of bounds."};
    return object_value(attachments_[static_cast<size_t>(i - 1)].get());
  });
  c.member(L"Add", 101, [this](const Args& a) {
    const std::wstring source = a.text(0);
    std::ifstream in(std::filesystem::path(source), std::ios::binary);
    if (!in) throw HostError{STG_E_FILENOTFOUND, L"Cannot add the attachment; no such file."};
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::wstring name = source.substr(source.find_last_of(L"\\/") + 1);
    attachments_.push_back(make<Attachment>(*this, name, a.given(3) ? a.text(3) : name, bytes));
    return object_value(attachments_.back().get());
  });
  member(L"Class", 61450, [this](const Args&) { return Variant::of(class_); });
  member(L"Subject", 55, [this](const Args&) { return text_value(subject_); });
  member(L"Attachments", 63509, [this](const Args&) { return object_value(collection_.get()); });
  events(ev::kItem);
}

MailItem::~MailItem() {
  for (auto& a : attachments_) a->detach();
}

void MailItem::attach(const std::wstring& path, const std::wstring& display_name) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) throw HostError{STG_E_FILENOTFOUND, L"No such file: " + path};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  attachments_.push_back(
      make<Attachment>(*this, name, display_name.empty() ? name : display_name, std::move(bytes)));
}

void MailItem::remove(Attachment* a) {
  a->detach();
  std::erase_if(attachments_, [&](const ComPtr<Attachment>& x) { return x.get() == a; });
}

bool MailItem::send() {
  VARIANT_BOOL cancel = VARIANT_FALSE;
  std::vector<Variant> args(1);
  args[0].get()->vt = VT_BYREF | VT_BOOL;
  args[0].get()->pboolVal = &cancel;
  fire(ev::kItem, ev::kSend, std::move(args));
  return cancel != VARIANT_FALSE;
}

// --- Command bars ---

CommandBarButton::CommandBarButton() {
  member(
      L"Caption", 0x60030003, [this](const Args&) { return text_value(caption_); },
      [this](const VARIANT& v) { caption_ = Args::text_of(v); });
  member(
      L"Enabled", 0x6003000A, [this](const Args&) { return Variant::of(enabled_); },
      [this](const VARIANT& v) { enabled_ = Args::flag_of(v); });
  events(ev::kButton);
}

bool CommandBarButton::click() {
  VARIANT_BOOL cancel = VARIANT_FALSE;
  std::vector<Variant> args;
  args.push_back(object_value(this));
  args.emplace_back();
  args[1].get()->vt = VT_BYREF | VT_BOOL;
  args[1].get()->pboolVal = &cancel;
  fire(ev::kButton, ev::kClick, std::move(args));
  return cancel != VARIANT_FALSE;
}

CommandBar::CommandBar() : controls_(make<Collection>()) {
  auto& c = *controls_.get();
  c.member(L"Count", 0x60030001,
           [this](const Args&) { return Variant::of(static_cast<int32_t>(buttons_.size())); });
  c.member(L"Add", 0x60020000, [this](const Args& a) {
    if (a.given(0) && a.number(0) != 1) throw HostError{E_INVALIDARG, L"Only buttons here."};
    if (a.given(3)) throw HostError{E_INVALIDARG, L"Position not supported."};
    buttons_.push_back(make<CommandBarButton>());
    return object_value(buttons_.back().get());
  });
  member(
      L"Visible", 0x6003001E, [this](const Args&) { return Variant::of(visible_); },
      [this](const VARIANT& v) { visible_ = Args::flag_of(v); });
  member(L"Controls", 0x60030003, [this](const Args&) { return object_value(controls_.get()); });
}

// --- Windows ---

Window::Window(std::wstring caption, const IID& events_iid)
    : caption_(std::move(caption)), events_(events_iid) {
  member(L"Caption", 8465, [this](const Args&) { return text_value(caption_); });
  events(events_iid);
}

void Window::activate() {
  fire(events_, ev::kActivate);
}

void Window::close() {
  fire(events_, ev::kClose);
}

Explorer::Explorer(std::wstring caption)
    : Window(std::move(caption), ev::kExplorer),
      standard_(make<CommandBar>()),
      bars_(make<Collection>()) {
  bars_->member(L"Item", DISPID_VALUE, [this](const Args& a) {
    if (!same_name(a.text(0), L"Standard"))
      throw HostError{E_INVALIDARG, L"No command bar of that name."};
    return object_value(standard_.get());
  });
  member(L"CommandBars", 8448, [this](const Args&) { return object_value(bars_.get()); });
}

Inspector::Inspector(std::wstring caption, MailItem& item)
    : Window(std::move(caption), ev::kInspector), item_(com::share(&item)) {
  member(L"CurrentItem", 8450, [this](const Args&) { return object_value(item_.get()); });
}

AddIn::AddIn() {
  member(
      L"Object", 0x60020002, [this](const Args&) { return Variant::of(object_.get()); },
      [this](const VARIANT& v) {
        Variant copy;
        if (FAILED(VariantCopyInd(copy.get(), const_cast<VARIANT*>(&v))))
          throw HostError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
        object_ = copy.to_dispatch();
      });
}

Application::Application()
    : namespace_(make<Collection>()),
      explorers_(make<Collection>()),
      inspectors_(make<Collection>()) {
  auto window_list = [](Collection& col, auto& list, const IID& iid) {
    col.member(L"Count", 80,
               [&list](const Args&) { return Variant::of(static_cast<int32_t>(list.size())); });
    col.member(L"Item", 81, [&list](const Args& a) {
      const int32_t i = a.number(0);
      if (i < 1 || i > static_cast<int32_t>(list.size()))
        throw HostError{DISP_E_BADINDEX, L"Array index out of bounds."};
      return object_value(list[static_cast<size_t>(i - 1)].get());
    });
    col.events(iid);
  };
  window_list(*explorers_.get(), open_explorers_, ev::kExplorers);
  window_list(*inspectors_.get(), open_inspectors_, ev::kInspectors);
  member(L"GetNamespace", 272, [this](const Args& a) {
    if (a.text(0) != L"MAPI") throw HostError{E_INVALIDARG, L"Unknown namespace type."};
    return object_value(namespace_.get());
  });
  member(L"ActiveExplorer", 273, [this](const Args&) {
    return object_value(open_explorers_.empty() ? nullptr : open_explorers_.back().get());
  });
  member(L"ActiveInspector", 274, [this](const Args&) {
    return object_value(open_inspectors_.empty() ? nullptr : open_inspectors_.back().get());
  });
  member(L"Explorers", 281, [this](const Args&) { return object_value(explorers_.get()); });
  member(L"Inspectors", 282, [this](const Args&) { return object_value(inspectors_.get()); });
  events(ev::kApplication);
}

Application::~Application() = default;

Explorer& Application::open_explorer(const std::wstring& caption) {
  open_explorers_.push_back(make<Explorer>(caption));
  Explorer& e = *open_explorers_.back().get();
  std::vector<Variant> args;
  args.push_back(object_value(&e));
  explorers_->fire(ev::kExplorers, ev::kNewWindow, std::move(args));
  return e;
}

Inspector& Application::open_inspector(MailItem& item, const std::wstring& caption) {
  open_inspectors_.push_back(make<Inspector>(caption, item));
  Inspector& i = *open_inspectors_.back().get();
  std::vector<Variant> args;
  args.push_back(object_value(&i));
  inspectors_->fire(ev::kInspectors, ev::kNewWindow, std::move(args));
  i.activate();
  return i;
}

void Application::close(Window& window) {
  const ComPtr<Window> keep = com::share(&window);
  window.close();
  std::erase_if(open_explorers_, [&](const ComPtr<Explorer>& e) { return e.get() == &window; });
  std::erase_if(open_inspectors_, [&](const ComPtr<Inspector>& i) { return i.get() == &window; });
}

void Application::startup() {
  fire(ev::kApplication, ev::kStartup);
}

}  // namespace parvex::fake
