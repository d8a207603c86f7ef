// Late-bound calls on host objects through IDispatch: member ids resolved by name once per host
// class and cached; a failed call raises parvex::Failure with the host's number and text.
#pragma once

#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>

#include "win32_handles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace parvex::com {

template <class T>
using ComPtr = pvx::win::com_ptr<T>;

// Another counted reference to p.
template <class T>
ComPtr<T> share(T* p) noexcept {
  if (p) p->AddRef();
  return ComPtr<T>(p);
}

// Owns one VARIANT; cleared when destroyed.
class Variant {
 public:
  static Variant of(int32_t value);
  static Variant of(bool value);
  static Variant of(const std::string& utf8);  // raises when out of memory
  static Variant of(IDispatch* object);        // adds a reference
  static Variant missing();                    // an optional argument left out

  VARIANT* get() noexcept { return v_.get(); }
  // Hands the value over to out (left uninitialised by the caller), leaving this one empty.
  void detach_to(VARIANT* out) noexcept { *out = v_.release(); }
  const VARIANT& operator*() const noexcept { return *v_.get(); }

  // Conversions raise a "Type mismatch" failure when the value does not convert.
  int32_t to_int() const;
  bool to_bool() const;
  std::string to_string() const;
  ComPtr<IDispatch> to_dispatch() const;  // null for Nothing or Empty

 private:
  pvx::win::unique_variant v_;
};

// Raises the failure that a failed IDispatch call stands for: the host's exception number and
// text when it gave them, otherwise the HRESULT and the system's text for it.
[[noreturn]] void raise_call_failure(HRESULT hr, EXCEPINFO* info, const std::wstring& member);

// A host object as seen through IDispatch. class_name names the host class in the id cache
// (together with the object's type information when it offers one).
class Dispatch {
 public:
  Dispatch(ComPtr<IDispatch> object, const char* class_name);

  Variant get(const wchar_t* name, std::vector<Variant> args = {});
  Variant call(const wchar_t* name, std::vector<Variant> args = {});
  void put(const wchar_t* name, Variant value);

  IDispatch* object() const noexcept { return object_.get(); }

 private:
  std::wstring cache_key(const wchar_t* name) const;
  DISPID id_of(const wchar_t* name);
  bool forget(const wchar_t* name);  // drops a cached id; false when none was cached
  Variant invoke(const wchar_t* name, WORD flags, std::vector<Variant>& args, bool put);

  ComPtr<IDispatch> object_;
  std::wstring class_key_;
};

}  // namespace parvex::com
