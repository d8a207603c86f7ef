#include "dispatch.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <new>
#include <utility>

#include "core/failure.h"
#include "text_win32.h"

namespace parvex::com {
namespace {

std::string text(const pvx::win::unique_bstr& s) {
  return s ? win::narrow(std::wstring_view(s.get(), SysStringLen(s.get()))) : "";
}

std::wstring system_text(HRESULT hr) {
  pvx::win::unique_hlocal<wchar_t*> buf;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(buf.put()), 0, nullptr);
  std::wstring text = n ? std::wstring(buf.get(), n) : L"Automation error";
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return text;
}

Variant converted(const VARIANT& v, VARTYPE type) {
  Variant out;
  const HRESULT hr = VariantChangeType(out.get(), const_cast<VARIANT*>(&v), 0, type);
  if (FAILED(hr)) raise(err::kTypeMismatch, "Type mismatch");
  return out;
}

// The id cache: one per thread, since host objects live on the host's user-interface thread.
std::map<std::wstring, DISPID>& id_cache() {
  thread_local std::map<std::wstring, DISPID> cache;
  return cache;
}

}  // namespace

Variant Variant::of(int32_t value) {
  Variant r;
  r.v_.get()->vt = VT_I4;
  r.v_.get()->lVal = value;
  return r;
}

Variant Variant::of(bool value) {
  Variant r;
  r.v_.get()->vt = VT_BOOL;
  r.v_.get()->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return r;
}

Variant Variant::of(const std::string& utf8) {
  const std::wstring wide = win::widen(utf8);
  Variant r;
  r.v_.get()->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!r.v_.get()->bstrVal) throw std::bad_alloc();
  r.v_.get()->vt = VT_BSTR;
  return r;
}

Variant Variant::of(IDispatch* object) {
  Variant r;
  r.v_.get()->vt = VT_DISPATCH;
  r.v_.get()->pdispVal = object;
  if (object) object->AddRef();
  return r;
}

Variant Variant::missing() {
  Variant r;
  r.v_.get()->vt = VT_ERROR;
  r.v_.get()->scode = DISP_E_PARAMNOTFOUND;
  return r;
}

int32_t Variant::to_int() const {
  return converted(*v_.get(), VT_I4).get()->lVal;
}

bool Variant::to_bool() const {
  return converted(*v_.get(), VT_BOOL).get()->boolVal != VARIANT_FALSE;
}

std::string Variant::to_string() const {
  const Variant s = converted(*v_.get(), VT_BSTR);
  const BSTR b = (*s).bstrVal;
  return b ? win::narrow(std::wstring_view(b, SysStringLen(b))) : "";
}

ComPtr<IDispatch> Variant::to_dispatch() const {
  if (v_.get()->vt == VT_EMPTY || v_.get()->vt == VT_NULL) return {};
  if ((v_.get()->vt == VT_DISPATCH || v_.get()->vt == VT_UNKNOWN) && !v_.get()->punkVal) return {};
  const Variant d = converted(*v_.get(), VT_DISPATCH);
  return share((*d).pdispVal);
}

void raise_call_failure(HRESULT hr, EXCEPINFO* info, const std::wstring& member) {
  int32_t number = static_cast<int32_t>(hr);
  std::string source = "Outlook";
  std::string description;
  if (hr == DISP_E_EXCEPTION && info) {
    if (info->pfnDeferredFillIn) info->pfnDeferredFillIn(info);
    const pvx::win::unique_bstr src(info->bstrSource), desc(info->bstrDescription),
        help(info->bstrHelpFile);
    info->bstrSource = info->bstrDescription = info->bstrHelpFile = nullptr;
    if (info->scode) {
      number = static_cast<int32_t>(info->scode);
    } else if (info->wCode) {
      number = static_cast<int32_t>(MAKE_HRESULT(SEVERITY_ERROR, 0x0A, info->wCode));
    }
    if (!text(src).empty()) source = text(src);
    description = text(desc);
  }
  if (description.empty()) description = win::narrow(system_text(number));
  throw Failure(number, source, description + " (" + win::narrow(member) + ")");
}

Dispatch::Dispatch(ComPtr<IDispatch> object, const char* class_name)
    : object_(std::move(object)), class_key_(win::widen(class_name)) {
  if (!object_) raise(err::kObjectRequired, "Object required");
  // Two host classes behind one seam class (a mail item and a contact, say) may number their
  // members differently, so the class's own type identity is part of the key when offered.
  ComPtr<ITypeInfo> type;
  if (SUCCEEDED(object_->GetTypeInfo(0, LOCALE_USER_DEFAULT, type.put())) && type) {
    pvx::win::unique_typeattr attr(type.get());
    if (SUCCEEDED(attr.fetch()) && attr.get()) {
      wchar_t text[40] = L"";
      StringFromGUID2(attr->guid, text, 40);
      class_key_ += text;
    }
  }
  class_key_ += L'.';
}

std::wstring Dispatch::cache_key(const wchar_t* name) const {
  std::wstring key = class_key_ + name;
  std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return std::towlower(c); });
  return key;
}

DISPID Dispatch::id_of(const wchar_t* name) {
  std::wstring key = cache_key(name);
  auto& cache = id_cache();
  if (const auto it = cache.find(key); it != cache.end()) return it->second;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) raise_call_failure(hr, nullptr, name);
  cache.emplace(std::move(key), id);
  return id;
}

Variant Dispatch::invoke(const wchar_t* name, WORD flags, std::vector<Variant>& args, bool put) {
  // rgvarg holds the arguments last first.
  std::vector<VARIANTARG> reversed;
  reversed.reserve(args.size());
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), put ? &named : nullptr, static_cast<UINT>(reversed.size()),
                    put ? 1u : 0u};
  for (bool retried = false;; retried = true) {
    const DISPID id = id_of(name);
    Variant result;
    EXCEPINFO info{};
    UINT arg_error = 0;
    const HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                       put ? nullptr : result.get(), &info, &arg_error);
    if (SUCCEEDED(hr)) return result;
    // An object without type information shares its cache key with every object behind the
    // same seam class; an id cached from another class is not its own, so ask it once.
    if (hr == DISP_E_MEMBERNOTFOUND && !retried && forget(name)) continue;
    raise_call_failure(hr, &info, name);
  }
}

bool Dispatch::forget(const wchar_t* name) {
  return id_cache().erase(cache_key(name)) > 0;
}

Variant Dispatch::get(const wchar_t* name, std::vector<Variant> args) {
  return invoke(name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, args, false);
}

Variant Dispatch::call(const wchar_t* name, std::vector<Variant> args) {
  return invoke(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, false);
}

void Dispatch::put(const wchar_t* name, Variant value) {
  std::vector<Variant> args;
  args.push_back(std::move(value));
  invoke(name, DISPATCH_PROPERTYPUT, args, true);
}

}  // namespace parvex::com
