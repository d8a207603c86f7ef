// A scripted mail client: the object model the add-in uses, served through IDispatch with
// connection points for its events, as the real client serves it. Attachments hold the bytes
// of real files; a sent item keeps what it carried when its Send handlers returned.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "dispatch.h"

namespace parvex::fake {

using com::ComPtr;
using com::Variant;

// A failure the client reports to its caller as an exception (DISP_E_EXCEPTION).
struct HostError {
  HRESULT scode;
  std::wstring description;
};

// The arguments of one call in declared order.
class Args {
 public:
  explicit Args(const DISPPARAMS& p) : p_(p) {}
  size_t size() const { return p_.cArgs; }
  bool given(size_t i) const;  // present and not an omitted optional argument
  const VARIANT& at(size_t i) const;
  std::wstring text(size_t i) const;
  int32_t number(size_t i) const;
  bool flag(size_t i) const;
  static std::wstring text_of(const VARIANT& v);
  static bool flag_of(const VARIANT& v);

 private:
  const DISPPARAMS& p_;
};

class Object;

// One connection point: the sinks advised for one event interface.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(Object& owner, const IID& iid) : owner_(owner), iid_(iid) {}
  const IID& iid() const { return iid_; }
  size_t advised() const { return sinks_.size(); }
  // Calls every sink; args in declared order. Failures reported by sinks are counted.
  void fire(DISPID id, std::vector<Variant>& args);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

 private:
  Object& owner_;
  IID iid_;
  DWORD next_cookie_ = 1;
  std::vector<std::pair<DWORD, ComPtr<IDispatch>>> sinks_;
};

// A client object: named members with fixed ids, and the connection points of its events.
class Object : public IDispatch, public IConnectionPointContainer {
 public:
  Object();
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT* arg_error) override;
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  IDispatch* dispatch() { return static_cast<IDispatch*>(this); }
  // Sinks advised on this object's connection points.
  size_t advised() const;
  void fire(const IID& events, DISPID id, std::vector<Variant> args = {});

  // Every client object alive, every sink advised, and every failure a sink reported.
  static std::atomic<long> alive;
  static std::atomic<long> sinks;
  static std::atomic<long> sink_failures;
  static std::atomic<long> name_lookups;  // GetIDsOfNames calls

 protected:
  using Getter = std::function<Variant(const Args&)>;
  using Putter = std::function<void(const VARIANT&)>;
  void member(const wchar_t* name, DISPID id, Getter get, Putter put = nullptr);
  void events(const IID& iid);

 private:
  struct Member {
    std::wstring name;
    DISPID id;
    Getter get;
    Putter put;
  };
  std::atomic<ULONG> refs_{1};
  std::vector<Member> members_;
  std::vector<ConnectionPoint*> points_;
};

// A collection object whose members its owner supplies.
class Collection final : public Object {
 public:
  using Object::events;
  using Object::member;
};

// Creates a client object with one reference, held by the returned pointer.
template <class T, class... A>
ComPtr<T> make(A&&... a) {
  return ComPtr<T>(new T(std::forward<A>(a)...));
}

class Attachment;
class MailItem;

class Attachment final : public Object {
 public:
  Attachment(MailItem& item, std::wstring file_name, std::wstring display_name, std::string bytes);
  const std::wstring& display_name() const { return display_name_; }
  const std::string& bytes() const { return bytes_; }
  void detach() { item_ = nullptr; }

 private:
  MailItem* item_;
  std::wstring file_name_, display_name_;
  std::string bytes_;
};

class MailItem final : public Object {
 public:
  explicit MailItem(std::wstring subject, int32_t item_class = 43);
  ~MailItem() override;
  // As the user attaching a file: its bytes are copied in now.
  void attach(const std::wstring& path, const std::wstring& display_name = L"");
  const std::vector<ComPtr<Attachment>>& attachments() const { return attachments_; }
  void remove(Attachment* a);
  // Raises Send; returns whether a handler cancelled it.
  bool send();

 private:
  std::wstring subject_;
  int32_t class_;
  std::vector<ComPtr<Attachment>> attachments_;
  ComPtr<Collection> collection_;
};

class CommandBarButton final : public Object {
 public:
  CommandBarButton();
  const std::wstring& caption() const { return caption_; }
  bool enabled() const { return enabled_; }
  // As the user pressing it; returns CancelDefault as the handlers left it.
  bool click();

 private:
  std::wstring caption_;
  bool enabled_ = false;
};

class CommandBar final : public Object {
 public:
  CommandBar();
  bool visible() const { return visible_; }
  const std::vector<ComPtr<CommandBarButton>>& buttons() const { return buttons_; }

 private:
  bool visible_ = false;
  std::vector<ComPtr<CommandBarButton>> buttons_;
  ComPtr<Collection> controls_;
};

class Window : public Object {
 public:
  Window(std::wstring caption, const IID& events);
  void activate();
  void close();

 protected:
  std::wstring caption_;
  IID events_;
};

class Explorer final : public Window {
 public:
  explicit Explorer(std::wstring caption);
  CommandBar& standard_bar() { return *standard_.get(); }

 private:
  ComPtr<CommandBar> standard_;
  ComPtr<Collection> bars_;
};

class Inspector final : public Window {
 public:
  Inspector(std::wstring caption, MailItem& item);

 private:
  ComPtr<MailItem> item_;
};

// The host's add-in object: what the add-in sets as its Object is kept here.
class AddIn final : public Object {
 public:
  AddIn();
  IDispatch* object() const { return object_.get(); }
  void clear() { object_.reset(); }

 private:
  ComPtr<IDispatch> object_;
};

class Application final : public Object {
 public:
  Application();
  ~Application() override;
  Explorer& open_explorer(const std::wstring& caption);
  Inspector& open_inspector(MailItem& item, const std::wstring& caption);
  void close(Window& window);
  void startup();

 private:
  ComPtr<Collection> namespace_, explorers_, inspectors_;
  std::vector<ComPtr<Explorer>> open_explorers_;
  std::vector<ComPtr<Inspector>> open_inspectors_;
};

}  // namespace parvex::fake
