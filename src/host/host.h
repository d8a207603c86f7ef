// The mail client's object model as the add-in uses it: exactly the members it calls. Objects
// are counted references (Ref); an event subscription is an object whose destruction ends it.
// Host calls that fail raise parvex::Failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "core/failure.h"

namespace parvex::host {

template <class T>
using Ref = std::shared_ptr<T>;

// The object behind a reference the host may hand back empty; an empty one fails as the host's
// own "Object required" would.
template <class T>
T& required(const Ref<T>& ref) {
  if (!ref) raise(err::kObjectRequired, "Object required");
  return *ref;
}

// Ends its subscription when destroyed.
class Subscription {
 public:
  virtual ~Subscription() = default;
};
using SubscriptionPtr = std::unique_ptr<Subscription>;

class Namespace;
class Explorers;
class Inspectors;
class Explorer;
class Inspector;
class Item;
class Attachments;
class Attachment;
class CommandBars;
class CommandBar;
class CommandBarControls;
class CommandBarButton;

inline constexpr int32_t kClassMail = 43;     // olMail
inline constexpr int32_t kByValue = 1;        // olByValue
inline constexpr int32_t kByReference = 4;    // olByReference: a link to a file elsewhere
inline constexpr int32_t kEmbeddedItem = 5;   // olEmbeddeditem: an attached mail-client item
inline constexpr int32_t kOle = 6;            // olOLE: an object placed in a rich-text body
inline constexpr int32_t kFormatPlain = 1;    // olFormatPlain
inline constexpr int32_t kFormatHtml = 2;     // olFormatHTML
inline constexpr int32_t kFormatRich = 3;     // olFormatRichText
inline constexpr int32_t kControlButton = 1;  // msoControlButton

// A MAPI property's value: a number (booleans as 0 or 1) or a text.
using PropertyValue = std::variant<int64_t, std::string>;

class Application {
 public:
  virtual ~Application() = default;
  virtual Ref<Namespace> GetNamespace(const std::string& type) = 0;
  virtual Ref<Explorer> ActiveExplorer() = 0;    // null when there is none
  virtual Ref<Inspector> ActiveInspector() = 0;  // null when there is none
  virtual Ref<Explorers> GetExplorers() = 0;
  virtual Ref<Inspectors> GetInspectors() = 0;
  virtual SubscriptionPtr OnStartup(std::function<void()> handler) = 0;
  // Raised for every send: from a message window, a reply in the reading pane, a program's
  // Send. Setting cancel keeps the item.
  virtual SubscriptionPtr OnItemSend(std::function<void(Ref<Item>, bool& cancel)> handler) = 0;
};

class Namespace {
 public:
  virtual ~Namespace() = default;
};

class Explorers {
 public:
  virtual ~Explorers() = default;
  virtual int32_t Count() = 0;
  virtual SubscriptionPtr OnNewExplorer(std::function<void(Ref<Explorer>)> handler) = 0;
};

class Inspectors {
 public:
  virtual ~Inspectors() = default;
  virtual int32_t Count() = 0;
  virtual SubscriptionPtr OnNewInspector(std::function<void(Ref<Inspector>)> handler) = 0;
};

// What explorers and inspectors share: a caption and the Activate and Close events.
class Window {
 public:
  virtual ~Window() = default;
  virtual std::string Caption() = 0;
  virtual SubscriptionPtr OnActivate(std::function<void()> handler) = 0;
  virtual SubscriptionPtr OnClose(std::function<void()> handler) = 0;  // once per window
  // The native window showing it (IOleWindow::GetWindow): it owns the add-in's windows for it.
  virtual std::uintptr_t WindowHandle() = 0;
  // Enables or disables that native window; returns whether it was enabled before.
  virtual bool EnableWindow(bool enable) = 0;
};

class Explorer : public Window {
 public:
  virtual Ref<CommandBars> GetCommandBars() = 0;
  // The reply being written in the reading pane; null when there is none.
  virtual Ref<Item> ActiveInlineResponse() = 0;
  // Raised when a reply or forward opens in the reading pane: no inspector shows that item.
  virtual SubscriptionPtr OnInlineResponse(std::function<void(Ref<Item>)> handler) = 0;
};

class Inspector : public Window {
 public:
  virtual Ref<Item> CurrentItem() = 0;  // the item shown, of any class
};

// An item of any class; mail items (class 43) are the ones whose attachments the add-in packs.
class Item {
 public:
  virtual ~Item() = default;
  virtual int32_t Class() = 0;  // read by name: fails on an object without that property
  virtual std::string Subject() = 0;
  virtual int32_t BodyFormat() = 0;
  virtual std::string HtmlBody() = 0;
  virtual Ref<Attachments> GetAttachments() = 0;
  // Whether other stands for this very item (each event may hand out its own object).
  virtual bool Is(Item& other) = 0;
  virtual SubscriptionPtr OnRead(std::function<void()> handler) = 0;
  // Raised before the item leaves; setting cancel keeps it.
  virtual SubscriptionPtr OnSend(std::function<void(bool& cancel)> handler) = 0;
  // Through the item's property accessor, by the property's schema name: empty when the item
  // does not have it. A named property set here stays with the item when it is saved.
  virtual std::optional<PropertyValue> GetProperty(const std::string& schema_name) = 0;
  virtual void SetProperty(const std::string& schema_name, const PropertyValue& value) = 0;
};

class Attachments {
 public:
  virtual ~Attachments() = default;
  virtual int32_t Count() = 0;
  virtual Ref<Attachment> GetItem(int32_t index) = 0;  // from 1; the later ones move down
  // Copies the file at source into the item at once; type and position omitted when empty.
  // The host takes the position only in rich text, as a character of the body, and the display
  // name only there too: elsewhere the attachment shows the file name of source.
  virtual Ref<Attachment> Add(const std::string& source, std::optional<int32_t> type,
                              std::optional<int32_t> position, const std::string& display_name) = 0;
};

// MAPI property tags, read as "http://schemas.microsoft.com/mapi/proptag/0x" + 8 hex digits.
inline constexpr uint32_t kAttachNumber = 0x0E210003;     // unique on its item while open
inline constexpr uint32_t kAttachContentId = 0x3712001F;  // the body refers to it as cid:ID
inline constexpr uint32_t kAttachContentLocation = 0x3713001F;
inline constexpr uint32_t kAttachFlags = 0x37140003;        // 0x4: rendered in the HTML body
inline constexpr uint32_t kAttachmentHidden = 0x7FFE000B;   // not shown among the attachments
inline constexpr uint32_t kAttachMethod = 0x37050003;       // 1 by value, 5 item, 6 OLE, 7 link
inline constexpr uint32_t kRenderingPosition = 0x370B0003;  // a character of a rich-text body

// A property by its full schema name, e.g. "http://schemas.microsoft.com/mapi/proptag/0x"
// followed by the tag's 8 hex digits, or a named property in the public strings set.
inline std::string property_name(uint32_t tag) {
  static const char* const digits = "0123456789ABCDEF";
  std::string name = "http://schemas.microsoft.com/mapi/proptag/0x";
  for (int shift = 28; shift >= 0; shift -= 4) name += digits[(tag >> shift) & 0xF];
  return name;
}
// On an item whose sender asked the host to resize large pictures when it is sent.
inline constexpr const char* kImageCompression =
    "http://schemas.microsoft.com/mapi/id/{00062008-0000-0000-C000-000000000046}/85930003";
// Set on the archive the add-in attaches: a send never packs its own archive again.
inline constexpr const char* kArchiveMark =
    "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/"
    "ParvexArchive";

class Attachment {
 public:
  virtual ~Attachment() = default;
  virtual int32_t Type() = 0;
  // Through the property accessor; empty when the attachment does not have it.
  virtual std::optional<PropertyValue> Property(uint32_t tag) = 0;
  virtual std::optional<PropertyValue> NamedProperty(const std::string& name) = 0;
  virtual void SetProperty(const std::string& name, const PropertyValue& value) = 0;
  // Whether other stands for this very attachment (a host may hand out several objects for one).
  virtual bool Is(Attachment& other) = 0;
  virtual std::string FileName() = 0;
  virtual int64_t Size() = 0;                            // in bytes, as the host reports it
  virtual void SaveAsFile(const std::string& path) = 0;  // creates or replaces the file
  virtual void Delete() = 0;
};

class CommandBars {
 public:
  virtual ~CommandBars() = default;
  virtual Ref<CommandBar> GetItem(const std::string& name) = 0;
};

class CommandBar {
 public:
  virtual ~CommandBar() = default;
  virtual void SetVisible(bool visible) = 0;
  virtual Ref<CommandBarControls> GetControls() = 0;
};

class CommandBarControls {
 public:
  virtual ~CommandBarControls() = default;
  // A new control at the end of the bar; a temporary one is gone when the host exits.
  virtual Ref<CommandBarButton> Add(int32_t type, bool temporary) = 0;
};

class CommandBarButton {
 public:
  virtual ~CommandBarButton() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void Delete() = 0;  // off its bar
  virtual SubscriptionPtr OnClick(
      std::function<void(Ref<CommandBarButton> ctrl, bool& cancel_default)> handler) = 0;
};

// The add-in object the host hands over at connection.
class AddIn {
 public:
  virtual ~AddIn() = default;
  virtual void SetObject(std::shared_ptr<void> object) = 0;
};

// Host connection modes and removal modes, as the host numbers them.
enum class ConnectMode : int32_t { AfterStartup = 0, Startup = 1, External = 2, CommandLine = 3 };
enum class DisconnectMode : int32_t { HostShutdown = 0, UserClosed = 1 };

// What the host calls on the add-in's connection object, once each, in its order.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void OnConnection(Ref<Application> application, ConnectMode mode, Ref<AddIn> addin) = 0;
  virtual void OnDisconnection(DisconnectMode mode) = 0;
  virtual void OnAddInsUpdate() = 0;
  virtual void OnStartupComplete() = 0;
  virtual void OnBeginShutdown() = 0;
};

}  // namespace parvex::host
