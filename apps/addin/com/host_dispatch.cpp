#include "host_dispatch.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "event_sink.h"
#include "module.h"

namespace parvex::com {
namespace {

// What every adapter has: its host object and its place among the live objects.
struct Adapter {
  Adapter(IDispatch* object, const char* class_name) : host(share(object), class_name) {}
  Dispatch host;
  LiveObject live;
};

template <class T>
host::Ref<T> adapt(const Variant& value, host::Ref<T> (*make)(IDispatch*)) {
  const ComPtr<IDispatch> object = value.to_dispatch();
  return object ? make(object.get()) : nullptr;
}

host::SubscriptionPtr on_plain(IDispatch* source, const IID& iid, DISPID id,
                               std::function<void()> handler) {
  return subscribe(source, iid, id, [h = std::move(handler)](const EventArgs&) { h(); });
}

// The same COM object: the IUnknown pointers compare equal.
bool same_object(IDispatch* a, IDispatch* b) {
  ComPtr<IUnknown> x, y;
  if (FAILED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(x.put()))) ||
      FAILED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(y.put()))))
    return false;
  return x && x.get() == y.get();
}

// A property value as the seam carries it; nothing for a kind the add-in never reads.
std::optional<host::PropertyValue> property_value(const Variant& value) {
  switch ((*value).vt) {
    case VT_BSTR:
      return value.to_string();
    case VT_BOOL:
      return int64_t{value.to_bool() ? 1 : 0};
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
      return int64_t{value.to_int()};
    default:
      return std::nullopt;
  }
}

// A property through the object's property accessor. A host without the accessor, or an object
// without the property, answers "unknown name" or "not found": the property is absent.
std::optional<host::PropertyValue> read_property(Dispatch& host, const std::string& name) {
  try {
    ComPtr<IDispatch> accessor = host.get(L"PropertyAccessor").to_dispatch();
    if (!accessor) return std::nullopt;
    Dispatch properties(std::move(accessor), "PropertyAccessor");
    std::vector<Variant> args;
    args.push_back(Variant::of(name));
    return property_value(properties.call(L"GetProperty", std::move(args)));
  } catch (const Failure& f) {
    constexpr int32_t kNotFound = static_cast<int32_t>(0x8004010F);  // MAPI_E_NOT_FOUND
    if (f.number() == DISP_E_UNKNOWNNAME || f.number() == DISP_E_MEMBERNOTFOUND ||
        f.number() == kNotFound)
      return std::nullopt;
    throw;
  }
}

// Runs handler with the event's by-reference flag at index, and writes back what it set.
template <class Handler>
void with_flag(const EventArgs& a, size_t index, Handler&& handler) {
  VARIANT_BOOL& flag = a.bool_ref(index);
  bool value = flag != VARIANT_FALSE;
  handler(value);
  flag = value ? VARIANT_TRUE : VARIANT_FALSE;
}

host::Ref<host::Namespace> make_namespace(IDispatch* object);
host::Ref<host::Explorers> make_explorers(IDispatch* object);
host::Ref<host::Inspectors> make_inspectors(IDispatch* object);
host::Ref<host::Attachments> make_attachments(IDispatch* object);
host::Ref<host::Attachment> make_attachment(IDispatch* object);
host::Ref<host::CommandBars> make_command_bars(IDispatch* object);
host::Ref<host::CommandBar> make_command_bar(IDispatch* object);
host::Ref<host::CommandBarControls> make_controls(IDispatch* object);
std::optional<host::PropertyValue> property_value(const Variant& value);

// A host without the property accessor, or an object without the property, answers "unknown
// name" or "not found": the property is absent.
bool absent_property(const Failure& f) {
  constexpr int32_t kNotFound = static_cast<int32_t>(0x8004010F);  // MAPI_E_NOT_FOUND
  return f.number() == DISP_E_UNKNOWNNAME || f.number() == DISP_E_MEMBERNOTFOUND ||
         f.number() == kNotFound;
}

class ApplicationAdapter final : public host::Application, Adapter {
 public:
  explicit ApplicationAdapter(IDispatch* o) : Adapter(o, "Application") {}
  host::Ref<host::Namespace> GetNamespace(const std::string& type) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(type));
    return adapt(host.call(L"GetNamespace", std::move(args)), &make_namespace);
  }
  host::Ref<host::Explorer> ActiveExplorer() override {
    return adapt(host.call(L"ActiveExplorer"), &make_explorer);
  }
  host::Ref<host::Inspector> ActiveInspector() override {
    return adapt(host.call(L"ActiveInspector"), &make_inspector);
  }
  host::Ref<host::Explorers> GetExplorers() override {
    return adapt(host.get(L"Explorers"), &make_explorers);
  }
  host::Ref<host::Inspectors> GetInspectors() override {
    return adapt(host.get(L"Inspectors"), &make_inspectors);
  }
  host::SubscriptionPtr OnStartup(std::function<void()> handler) override {
    return on_plain(host.object(), events::kApplication, events::kStartup, std::move(handler));
  }
  host::SubscriptionPtr OnItemSend(std::function<void(host::Ref<host::Item>, bool&)> h) override {
    return subscribe(
        host.object(), events::kApplication, events::kItemSend,
        [h = std::move(h)](const EventArgs& a) {
          const ComPtr<IDispatch> item = a.object(0);
          with_flag(a, 1, [&](bool& cancel) { h(item ? make_item(item.get()) : nullptr, cancel); });
        });
  }
};

class NamespaceAdapter final : public host::Namespace, Adapter {
 public:
  explicit NamespaceAdapter(IDispatch* o) : Adapter(o, "NameSpace") {}
};

class ExplorersAdapter final : public host::Explorers, Adapter {
 public:
  explicit ExplorersAdapter(IDispatch* o) : Adapter(o, "Explorers") {}
  int32_t Count() override { return host.get(L"Count").to_int(); }
  host::SubscriptionPtr OnNewExplorer(std::function<void(host::Ref<host::Explorer>)> h) override {
    return subscribe(
        host.object(), events::kExplorers, events::kNewWindow,
        [h = std::move(h)](const EventArgs& a) { h(make_explorer(a.object(0).get())); });
  }
};

class InspectorsAdapter final : public host::Inspectors, Adapter {
 public:
  explicit InspectorsAdapter(IDispatch* o) : Adapter(o, "Inspectors") {}
  int32_t Count() override { return host.get(L"Count").to_int(); }
  host::SubscriptionPtr OnNewInspector(std::function<void(host::Ref<host::Inspector>)> h) override {
    return subscribe(
        host.object(), events::kInspectors, events::kNewWindow,
        [h = std::move(h)](const EventArgs& a) { h(make_inspector(a.object(0).get())); });
  }
};

template <class Interface>
class WindowAdapter : public Interface, protected Adapter {
 public:
  WindowAdapter(IDispatch* o, const char* class_name, const IID& events)
      : Adapter(o, class_name), events_(events) {}
  std::string Caption() override { return host.get(L"Caption").to_string(); }
  host::SubscriptionPtr OnActivate(std::function<void()> handler) override {
    return on_plain(host.object(), events_, events::kActivate, std::move(handler));
  }
  host::SubscriptionPtr OnClose(std::function<void()> handler) override {
    return on_plain(host.object(), events_, events::kClose, std::move(handler));
  }
  // Explorers and inspectors are OLE windows: their native window is asked there.
  std::uintptr_t WindowHandle() override {
    ComPtr<IOleWindow> ole;
    HWND window = nullptr;
    if (FAILED(
            host.object()->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(ole.put()))) ||
        !ole || FAILED(ole->GetWindow(&window)))
      return 0;
    return reinterpret_cast<std::uintptr_t>(window);
  }
  bool EnableWindow(bool enable) override {
    const auto window = reinterpret_cast<HWND>(WindowHandle());
    if (!window || !IsWindow(window))
      raise(err::kObjectRequired, "The window has no native window");
    // Nonzero: it was disabled before.
    return ::EnableWindow(window, enable) == FALSE;
  }

 private:
  IID events_;
};

class ExplorerAdapter final : public WindowAdapter<host::Explorer> {
 public:
  explicit ExplorerAdapter(IDispatch* o) : WindowAdapter(o, "Explorer", events::kExplorer) {}
  host::Ref<host::CommandBars> GetCommandBars() override {
    return adapt(host.get(L"CommandBars"), &make_command_bars);
  }
  host::SubscriptionPtr OnInlineResponse(std::function<void(host::Ref<host::Item>)> h) override {
    return subscribe(host.object(), events::kExplorer, events::kInlineResponse,
                     [h = std::move(h)](const EventArgs& a) {
                       const ComPtr<IDispatch> item = a.object(0);
                       h(item ? make_item(item.get()) : nullptr);
                     });
  }
  // A host older than replies in the reading pane has no such member: there is none.
  host::Ref<host::Item> ActiveInlineResponse() override {
    try {
      return adapt(host.get(L"ActiveInlineResponse"), &make_item);
    } catch (const Failure& f) {
      if (absent_property(f)) return nullptr;
      throw;
    }
  }
};

class InspectorAdapter final : public WindowAdapter<host::Inspector> {
 public:
  explicit InspectorAdapter(IDispatch* o) : WindowAdapter(o, "Inspector", events::kInspector) {}
  host::Ref<host::Item> CurrentItem() override {
    return adapt(host.get(L"CurrentItem"), &make_item);
  }
};

class ItemAdapter final : public host::Item, Adapter {
 public:
  explicit ItemAdapter(IDispatch* o) : Adapter(o, "Item") {}
  int32_t Class() override { return host.get(L"Class").to_int(); }
  std::string Subject() override { return host.get(L"Subject").to_string(); }
  int32_t BodyFormat() override { return host.get(L"BodyFormat").to_int(); }
  std::string HtmlBody() override { return host.get(L"HTMLBody").to_string(); }
  host::Ref<host::Attachments> GetAttachments() override {
    return adapt(host.get(L"Attachments"), &make_attachments);
  }
  bool Is(host::Item& other) override {
    auto* that = dynamic_cast<ItemAdapter*>(&other);
    return that && (that == this || same_object(host.object(), that->host.object()));
  }
  host::SubscriptionPtr OnRead(std::function<void()> handler) override {
    return on_plain(host.object(), events::kItem, events::kRead, std::move(handler));
  }
  host::SubscriptionPtr OnSend(std::function<void(bool&)> h) override {
    return subscribe(host.object(), events::kItem, events::kSend,
                     [h = std::move(h)](const EventArgs& a) { with_flag(a, 0, h); });
  }
  std::optional<host::PropertyValue> GetProperty(const std::string& schema_name) override {
    try {
      std::vector<Variant> args;
      args.push_back(Variant::of(schema_name));
      return property_value(accessor().call(L"GetProperty", std::move(args)));
    } catch (const Failure& f) {
      if (absent_property(f)) return std::nullopt;
      throw;
    }
  }
  void SetProperty(const std::string& schema_name, const host::PropertyValue& value) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(schema_name));
    if (const auto* text = std::get_if<std::string>(&value)) {
      args.push_back(Variant::of(*text));
    } else {
      args.push_back(Variant::of(static_cast<int32_t>(std::get<int64_t>(value))));
    }
    accessor().call(L"SetProperty", std::move(args));
  }

 private:
  Dispatch accessor() {
    ComPtr<IDispatch> object = host.get(L"PropertyAccessor").to_dispatch();
    if (!object) raise(err::kObjectRequired, "Object required");
    return Dispatch(std::move(object), "PropertyAccessor");
  }
};

class AttachmentsAdapter final : public host::Attachments, Adapter {
 public:
  explicit AttachmentsAdapter(IDispatch* o) : Adapter(o, "Attachments") {}
  int32_t Count() override { return host.get(L"Count").to_int(); }
  host::Ref<host::Attachment> GetItem(int32_t index) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(index));
    return adapt(host.call(L"Item", std::move(args)), &make_attachment);
  }
  host::Ref<host::Attachment> Add(const std::string& source, std::optional<int32_t> type,
                                  std::optional<int32_t> position,
                                  const std::string& display_name) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(source));
    args.push_back(type ? Variant::of(*type) : Variant::missing());
    args.push_back(position ? Variant::of(*position) : Variant::missing());
    args.push_back(Variant::of(display_name));
    return adapt(host.call(L"Add", std::move(args)), &make_attachment);
  }
};

class AttachmentAdapter final : public host::Attachment, Adapter {
 public:
  explicit AttachmentAdapter(IDispatch* o) : Adapter(o, "Attachment") {}
  int32_t Type() override { return host.get(L"Type").to_int(); }
  std::optional<host::PropertyValue> Property(uint32_t tag) override {
    return NamedProperty(host::property_name(tag));
  }
  std::optional<host::PropertyValue> NamedProperty(const std::string& name) override {
    return read_property(host, name);
  }
  void SetProperty(const std::string& name, const host::PropertyValue& value) override {
    ComPtr<IDispatch> accessor = host.get(L"PropertyAccessor").to_dispatch();
    if (!accessor) raise(err::kObjectRequired, "Object required");
    Dispatch properties(std::move(accessor), "PropertyAccessor");
    std::vector<Variant> args;
    args.push_back(Variant::of(name));
    if (const auto* text = std::get_if<std::string>(&value)) {
      args.push_back(Variant::of(*text));
    } else {
      args.push_back(Variant::of(static_cast<int32_t>(std::get<int64_t>(value))));
    }
    properties.call(L"SetProperty", std::move(args));
  }
  bool Is(host::Attachment& other) override {
    auto* that = dynamic_cast<AttachmentAdapter*>(&other);
    if (!that) return false;
    // A new object at each request proves nothing either way: the core then asks the
    // attachment number and what the attachment says of itself.
    return that == this || same_object(host.object(), that->host.object());
  }
  std::string FileName() override { return host.get(L"FileName").to_string(); }
  int64_t Size() override { return host.get(L"Size").to_int(); }
  void SaveAsFile(const std::string& path) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(path));
    host.call(L"SaveAsFile", std::move(args));
  }
  void Delete() override { host.call(L"Delete"); }
};

class CommandBarsAdapter final : public host::CommandBars, Adapter {
 public:
  explicit CommandBarsAdapter(IDispatch* o) : Adapter(o, "CommandBars") {}
  host::Ref<host::CommandBar> GetItem(const std::string& name) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(name));
    return adapt(host.get(L"Item", std::move(args)), &make_command_bar);
  }
};

class CommandBarAdapter final : public host::CommandBar, Adapter {
 public:
  explicit CommandBarAdapter(IDispatch* o) : Adapter(o, "CommandBar") {}
  void SetVisible(bool visible) override { host.put(L"Visible", Variant::of(visible)); }
  host::Ref<host::CommandBarControls> GetControls() override {
    return adapt(host.get(L"Controls"), &make_controls);
  }
};

class ControlsAdapter final : public host::CommandBarControls, Adapter {
 public:
  explicit ControlsAdapter(IDispatch* o) : Adapter(o, "CommandBarControls") {}
  host::Ref<host::CommandBarButton> Add(int32_t type, bool temporary) override {
    std::vector<Variant> args;
    args.push_back(Variant::of(type));
    args.push_back(Variant::missing());  // Id
    args.push_back(Variant::missing());  // Parameter
    args.push_back(Variant::missing());  // Before: at the end of the bar
    args.push_back(Variant::of(temporary));
    return adapt(host.call(L"Add", std::move(args)), &make_button);
  }
};

class ButtonAdapter final : public host::CommandBarButton, Adapter {
 public:
  explicit ButtonAdapter(IDispatch* o) : Adapter(o, "CommandBarButton") {}
  void SetCaption(const std::string& caption) override {
    host.put(L"Caption", Variant::of(caption));
  }
  void SetEnabled(bool enabled) override { host.put(L"Enabled", Variant::of(enabled)); }
  void Delete() override { host.call(L"Delete"); }
  host::SubscriptionPtr OnClick(
      std::function<void(host::Ref<host::CommandBarButton>, bool&)> h) override {
    return subscribe(host.object(), events::kButton, events::kClick,
                     [h = std::move(h)](const EventArgs& a) {
                       const ComPtr<IDispatch> ctrl = a.object(0);
                       with_flag(a, 1, [&](bool& cancel_default) {
                         h(ctrl ? make_button(ctrl.get()) : nullptr, cancel_default);
                       });
                     });
  }
};

class AddInAdapter final : public host::AddIn, Adapter {
 public:
  AddInAdapter(IDispatch* o, IDispatch* connect) : Adapter(o, "COMAddIn"), connect_(connect) {}
  void SetObject(std::shared_ptr<void>) override { host.put(L"Object", Variant::of(connect_)); }

 private:
  IDispatch* connect_;  // not owned: the connection object outlives its OnConnection call
};

host::Ref<host::Namespace> make_namespace(IDispatch* o) {
  return std::make_shared<NamespaceAdapter>(o);
}
host::Ref<host::Explorers> make_explorers(IDispatch* o) {
  return std::make_shared<ExplorersAdapter>(o);
}
host::Ref<host::Inspectors> make_inspectors(IDispatch* o) {
  return std::make_shared<InspectorsAdapter>(o);
}
host::Ref<host::Attachments> make_attachments(IDispatch* o) {
  return std::make_shared<AttachmentsAdapter>(o);
}
host::Ref<host::Attachment> make_attachment(IDispatch* o) {
  return std::make_shared<AttachmentAdapter>(o);
}
host::Ref<host::CommandBars> make_command_bars(IDispatch* o) {
  return std::make_shared<CommandBarsAdapter>(o);
}
host::Ref<host::CommandBar> make_command_bar(IDispatch* o) {
  return std::make_shared<CommandBarAdapter>(o);
}
host::Ref<host::CommandBarControls> make_controls(IDispatch* o) {
  return std::make_shared<ControlsAdapter>(o);
}

}  // namespace

host::Ref<host::Application> make_application(IDispatch* o) {
  return std::make_shared<ApplicationAdapter>(o);
}
host::Ref<host::AddIn> make_addin(IDispatch* addin, IDispatch* connect_object) {
  return std::make_shared<AddInAdapter>(addin, connect_object);
}
host::Ref<host::Explorer> make_explorer(IDispatch* o) {
  return std::make_shared<ExplorerAdapter>(o);
}
host::Ref<host::Inspector> make_inspector(IDispatch* o) {
  return std::make_shared<InspectorAdapter>(o);
}
host::Ref<host::Item> make_item(IDispatch* o) {
  return std::make_shared<ItemAdapter>(o);
}
host::Ref<host::CommandBarButton> make_button(IDispatch* o) {
  return std::make_shared<ButtonAdapter>(o);
}

}  // namespace parvex::com
