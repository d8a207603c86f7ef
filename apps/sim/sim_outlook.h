// A simulated mail client: the host object model held in memory, for real. Windows open and
// close, items hold attachments as private copies of their files (never their bytes: an
// attachment may be larger than memory), a sent item lands in the outbox with the attachments it
// held when its Send handlers returned. Any host call can be told to fail, and
// the counters show every reference and subscription the add-in still holds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "host/host.h"
#include "seams/fs.h"

namespace parvex::sim {

// Copies the rest of in to out, through one buffer kept for the thread; a read error is an
// error, not the end of the file. Returns the bytes copied.
uint64_t copy_stream(std::FILE* in, const std::string& from, fs::File& out);

// This process's id and a count, unique among the names this process makes: "<pid>-<n>".
std::string unique_tag();

// A path from UTF-8 text and back: a std::string path is ANSI on Windows.
std::filesystem::path as_path(const std::string& utf8);
std::string as_utf8(const std::filesystem::path& p);

// References handed to the add-in and subscriptions it holds, live right now.
struct Counters {
  int64_t references = 0;
  int64_t subscriptions = 0;
};

class SimOutlook;

// How this client hands out attachments, each a reading the host's documentation allows:
// kind (one object per attachment, numbers never reused, positions taken as places),
// fresh-objects (a new object at each Attachments.Item, no attachment number, and ItemSend
// raised before the item's Send), index-bound (an object names a place, not an attachment),
// ole-until-saved (every Type reads olOLE on an item never saved), rtf-positions (Add's
// Position is a character of a rich-text body, ignored elsewhere), reused-numbers (a deleted
// attachment's number goes to the next one).
enum class Personality {
  kind,
  fresh_objects,
  index_bound,
  ole_until_saved,
  rtf_positions,
  reused_numbers
};
inline constexpr const char* kPersonalities[] = {
    "kind", "fresh-objects", "index-bound", "ole-until-saved", "rtf-positions", "reused-numbers"};
// Raises for a name not listed above.
Personality personality_named(const std::string& name);

// One host event: handlers in subscription order; a handler may unsubscribe while it runs.
template <class... Args>
class Event {
 public:
  explicit Event(std::shared_ptr<Counters> counters) : counters_(std::move(counters)) {}

  host::SubscriptionPtr subscribe(std::function<void(Args...)> fn);
  // Runs every handler; a failing handler's failure is handed to on_failure.
  void raise(const std::function<void(const Failure&)>& on_failure, Args... args);
  size_t size() const { return handlers_->size(); }

 private:
  using Handler = std::shared_ptr<std::function<void(Args...)>>;
  std::shared_ptr<std::vector<Handler>> handlers_ = std::make_shared<std::vector<Handler>>();
  std::shared_ptr<Counters> counters_;
};

// One file in the client's private store, removed with its last holder; or, without a store, a
// file of the user's that an attachment refers to.
class StoredFile {
 public:
  class Store;
  StoredFile(std::shared_ptr<Store> store, std::string path, uint64_t size)
      : store_(std::move(store)), path_(std::move(path)), size_(size) {}
  ~StoredFile();
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;
  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }

 private:
  std::shared_ptr<Store> store_;  // the store's folder outlives every file in it
  std::string path_;
  uint64_t size_;
};

// An attachment's contents: a stored file, read whole only when asked for as text.
class Contents {
 public:
  Contents() = default;
  explicit Contents(std::shared_ptr<const StoredFile> file) : file_(std::move(file)) {}
  const std::string& path() const { return file_->path(); }
  uint64_t size() const { return file_->size(); }
  // The whole file in memory: for small attachments only.
  operator std::string() const;

 private:
  std::shared_ptr<const StoredFile> file_;
};

struct SentAttachment {
  std::string file_name;
  std::string display_name;  // what the recipient sees
  Contents bytes;
  int32_t type = host::kByValue;
  bool marked = false;  // carries the add-in's archive mark
};

struct SentMessage {
  std::string subject;
  std::vector<SentAttachment> attachments;
  int32_t body_format = host::kFormatPlain;
  std::string html_body;
};

class SimItem;
class SimInspector;
class SimExplorer;
class SimCommandBarButton;
class SimCommandBar;

class SimAttachment final : public host::Attachment {
 public:
  // Numbered on its item as the host numbers attachments.
  SimAttachment(SimOutlook& outlook, SimItem& item, std::string file_name, std::string display_name,
                Contents bytes);
  int32_t Type() override;
  std::optional<host::PropertyValue> Property(uint32_t tag) override;
  std::optional<host::PropertyValue> NamedProperty(const std::string& name) override;
  void SetProperty(const std::string& name, const host::PropertyValue& value) override;
  bool Is(host::Attachment& other) override { return &other == this; }
  std::string FileName() override;
  int64_t Size() override;
  void SaveAsFile(const std::string& path) override;
  void Delete() override;

  const std::string& display_name() const { return display_name_; }
  const Contents& bytes() const { return bytes_; }
  const std::string& file_name() const { return file_name_; }
  int32_t type() const { return type_; }
  bool marked() const { return named_.contains(host::kArchiveMark); }
  void set_type(int32_t type) { type_ = type; }
  // Sets or, with no value, removes a property.
  void set_property(uint32_t tag, std::optional<host::PropertyValue> value);

 private:
  SimOutlook& outlook_;
  SimItem& item_;
  std::string file_name_, display_name_;
  Contents bytes_;
  int32_t type_ = host::kByValue;
  std::map<uint32_t, host::PropertyValue> properties_;
  std::map<std::string, host::PropertyValue> named_;
  int32_t position_ = 0;  // a character of a rich-text body
  friend class SimItem;
};

class SimItem final : public host::Item,
                      public host::Attachments,
                      public std::enable_shared_from_this<SimItem> {
 public:
  SimItem(SimOutlook& outlook, int32_t item_class, std::string subject);

  // host::Item
  int32_t Class() override;
  std::string Subject() override;
  int32_t BodyFormat() override;
  std::string HtmlBody() override;
  host::Ref<host::Attachments> GetAttachments() override;
  bool Is(host::Item& other) override { return &other == this; }
  host::SubscriptionPtr OnRead(std::function<void()> handler) override;
  host::SubscriptionPtr OnSend(std::function<void(bool&)> handler) override;
  std::optional<host::PropertyValue> GetProperty(const std::string& schema_name) override;
  void SetProperty(const std::string& schema_name, const host::PropertyValue& value) override;
  // host::Attachments
  int32_t Count() override;
  host::Ref<host::Attachment> GetItem(int32_t index) override;
  host::Ref<host::Attachment> Add(const std::string& source, std::optional<int32_t> type,
                                  std::optional<int32_t> position,
                                  const std::string& display_name) override;

  // What the user does and sees.
  // As the user attaching a file: only a regular file. The item refers to it and reads it when
  // the attachment is saved or sent (a copy made here would double a large file on disk).
  void attach_file(const std::string& path);
  // Returns the new attachment, last on the item.
  SimAttachment& attach_bytes(const std::string& file_name, const std::string& bytes);
  // As the user would: a picture in the HTML body (a content id the body refers to, flag 0x4);
  // an attached item (saved as a .msg); an object in the rich text (which cannot be saved); a
  // link to a file elsewhere.
  void attach_inline(const std::string& path, const std::string& content_id);
  void attach_item(const std::string& subject);
  void attach_object(const std::string& name);
  void attach_link(const std::string& path);
  void set_body(int32_t format, std::string text);
  void set_named_property(const std::string& name, host::PropertyValue value) {
    named_properties_[name] = std::move(value);
  }
  int32_t body_format() const { return body_format_; }
  const std::string& html_body() const { return html_body_; }
  const std::vector<std::shared_ptr<SimAttachment>>& attachments() const { return attachments_; }
  const std::string& subject() const { return subject_; }
  int32_t item_class() const { return class_; }
  bool sent() const { return sent_; }

 private:
  friend class SimAttachment;
  friend class SimOutlook;
  SimOutlook& outlook_;
  int32_t class_;
  std::string subject_;
  bool sent_ = false;
  int32_t body_format_ = host::kFormatPlain;
  std::string html_body_;
  int64_t next_number_ = 1;  // the attachment numbers this item hands out
  int64_t take_number();
  std::vector<std::shared_ptr<SimAttachment>> attachments_;
  Event<> read_;
  Event<bool&> send_;
  std::map<std::string, host::PropertyValue> named_properties_;  // kept while the item lives
};

class SimCommandBarButton final : public host::CommandBarButton,
                                  public std::enable_shared_from_this<SimCommandBarButton> {
 public:
  SimCommandBarButton(SimOutlook& outlook, SimCommandBar& bar, bool temporary);
  void SetCaption(const std::string& caption) override;
  void SetEnabled(bool enabled) override;
  void Delete() override;
  host::SubscriptionPtr OnClick(
      std::function<void(host::Ref<host::CommandBarButton>, bool&)> handler) override;

  void click();  // as the user pressing it
  const std::string& caption() const { return caption_; }
  bool enabled() const { return enabled_; }
  bool temporary() const { return temporary_; }

 private:
  SimOutlook& outlook_;
  SimCommandBar& bar_;
  std::string caption_;
  bool enabled_ = true;
  bool temporary_;
  Event<host::Ref<host::CommandBarButton>, bool&> click_;
};

class SimCommandBar final : public host::CommandBar, public host::CommandBarControls {
 public:
  explicit SimCommandBar(SimOutlook& outlook) : outlook_(outlook) {}
  void SetVisible(bool visible) override;
  host::Ref<host::CommandBarControls> GetControls() override;
  host::Ref<host::CommandBarButton> Add(int32_t type, bool temporary) override;

  bool visible() const { return visible_; }
  const std::vector<std::shared_ptr<SimCommandBarButton>>& buttons() const { return buttons_; }

 private:
  friend class SimCommandBarButton;
  SimOutlook& outlook_;
  bool visible_ = true;
  std::vector<std::shared_ptr<SimCommandBarButton>> buttons_;
};

class SimCommandBars final : public host::CommandBars {
 public:
  explicit SimCommandBars(SimOutlook& outlook);
  host::Ref<host::CommandBar> GetItem(const std::string& name) override;
  std::shared_ptr<SimCommandBar> bar(const std::string& name) const;

 private:
  SimOutlook& outlook_;
  std::map<std::string, std::shared_ptr<SimCommandBar>> bars_;  // lower-case names
};

// Explorer and inspector windows share their caption and their Activate and Close events.
template <class Interface>
class SimWindow : public Interface {
 public:
  SimWindow(SimOutlook& outlook, std::string caption, const char* kind);
  std::string Caption() override;
  host::SubscriptionPtr OnActivate(std::function<void()> handler) override;
  host::SubscriptionPtr OnClose(std::function<void()> handler) override;
  std::uintptr_t WindowHandle() override;
  bool EnableWindow(bool enable) override;

  void set_caption(std::string caption) { caption_ = std::move(caption); }
  const std::string& caption() const { return caption_; }
  bool closed() const { return closed_; }
  // Whether the user can work in it; handle() is its native window, asked of no one.
  bool enabled() const;
  std::uintptr_t handle() const { return handle_; }

 protected:
  SimOutlook& outlook_;
  std::string caption_;
  const char* kind_;
  bool closed_ = false;
  // On Windows a hidden window of this process, so that the add-in's EnableWindow and owned
  // windows act on a real one; elsewhere, or when none can be made, a number of its own.
  std::shared_ptr<void> native_;
  std::uintptr_t handle_ = 0;
  bool enabled_ = true;
  Event<> activate_;
  Event<> close_;
  friend class SimOutlook;
};

class SimExplorer final : public SimWindow<host::Explorer> {
 public:
  SimExplorer(SimOutlook& outlook, std::string caption);
  host::Ref<host::CommandBars> GetCommandBars() override;
  host::Ref<host::Item> ActiveInlineResponse() override;
  std::shared_ptr<SimCommandBars> command_bars() const { return bars_; }
  host::SubscriptionPtr OnInlineResponse(
      std::function<void(host::Ref<host::Item>)> handler) override;
  // A reply being written in the reading pane, raising InlineResponse; null ends it.
  void set_inline_response(std::shared_ptr<SimItem> item);

 private:
  std::shared_ptr<SimCommandBars> bars_;
  std::shared_ptr<SimItem> inline_response_;
  Event<host::Ref<host::Item>> inline_response_event_;
};

class SimInspector final : public SimWindow<host::Inspector> {
 public:
  SimInspector(SimOutlook& outlook, std::string caption, std::shared_ptr<SimItem> item);
  host::Ref<host::Item> CurrentItem() override;
  const std::shared_ptr<SimItem>& item() const { return item_; }

 private:
  std::shared_ptr<SimItem> item_;
};

class SimOutlook final : public host::Application {
 public:
  SimOutlook();
  ~SimOutlook() override;
  SimOutlook(const SimOutlook&) = delete;
  SimOutlook& operator=(const SimOutlook&) = delete;

  // host::Application
  host::Ref<host::Namespace> GetNamespace(const std::string& type) override;
  host::Ref<host::Explorer> ActiveExplorer() override;
  host::Ref<host::Inspector> ActiveInspector() override;
  host::Ref<host::Explorers> GetExplorers() override;
  host::Ref<host::Inspectors> GetInspectors() override;
  host::SubscriptionPtr OnStartup(std::function<void()> handler) override;
  host::SubscriptionPtr OnItemSend(
      std::function<void(host::Ref<host::Item>, bool&)> handler) override;

  // The application as the add-in receives it: a counted reference.
  host::Ref<host::Application> application();
  host::Ref<host::AddIn> addin();

  // What the user and the host do.
  std::shared_ptr<SimExplorer> open_explorer(const std::string& caption);
  std::shared_ptr<SimItem> new_item(int32_t item_class, const std::string& subject);
  std::shared_ptr<SimItem> new_mail(const std::string& subject) {
    return new_item(host::kClassMail, subject);
  }
  std::shared_ptr<SimInspector> open_inspector(const std::shared_ptr<SimItem>& item,
                                               const std::string& caption);
  void activate(const std::shared_ptr<SimExplorer>& explorer);
  void activate(const std::shared_ptr<SimInspector>& inspector);
  void close(const std::shared_ptr<SimExplorer>& explorer);
  void close(const std::shared_ptr<SimInspector>& inspector);
  void raise_startup();
  void read(const std::shared_ptr<SimItem>& item);
  // Raises the item's Send, then the application's ItemSend; unless cancelled the item leaves
  // with the attachments it then holds, and its inspectors close. Returns whether it left.
  bool send(const std::shared_ptr<SimItem>& item);
  // The next send is cancelled after every handler returned, as a later prompt of the host's
  // own (S/MIME, a PIN) or another add-in may: the item stays with what the handlers left.
  void cancel_next_send_later() { cancel_later_ = true; }
  void set_personality(Personality p) { personality_ = p; }
  Personality personality() const { return personality_; }

  // Makes the named host call fail (e.g. "Explorers.Count", "Inspector.CurrentItem",
  // "Item.Class", "Attachment.SaveAsFile"); times < 0 means until told otherwise.
  void fail(const std::string& call, int times = -1);
  // Ends this process at the nth call of call, as a kill -9 would: nothing runs after it.
  void kill_at(const std::string& call, int nth);
  // Makes the host call numbered index in calls() fail, whatever it is.
  void fail_call_at(size_t index) { fail_at_ = index; }
  void stop_failing() {
    failing_.clear();
    fail_at_ = SIZE_MAX;
  }
  // Raised by every host call; fails when told to.
  void host_call(const char* call);

  // Milliseconds this client spent copying files for the add-in (saving attachments, adding
  // them): the client's share of a send, not the add-in's.
  double copy_ms() const { return copy_ms_; }
  void reset_copy_ms() { copy_ms_ = 0; }
  // Runs `copy`, adding its time to copy_ms().
  template <class F>
  auto timed_copy(F&& copy) {
    struct Add {
      double& total;
      std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
      ~Add() {
        total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count();
      }
    } add{copy_ms_};
    return copy();
  }

  const std::vector<SentMessage>& outbox() const { return outbox_; }
  const std::vector<Failure>& event_failures() const { return event_failures_; }
  const std::vector<std::string>& calls() const { return calls_; }
  const Counters& counters() const { return *counters_; }
  const std::vector<std::shared_ptr<SimExplorer>>& explorers() const { return explorers_; }
  const std::vector<std::shared_ptr<SimInspector>>& inspectors() const { return inspectors_; }
  std::shared_ptr<void> addin_object() const { return addin_object_; }
  // As the host lets go of the add-in's object once it is disconnected.
  void clear_addin_object() { addin_object_.reset(); }

  // A private copy of a regular file (a folder, device or FIFO is refused unopened), or of
  // the given bytes, in this client's store; or a reference to a regular file, checked alike.
  Contents store_file(const std::string& path);
  Contents refer_to_file(const std::string& path);
  Contents store_bytes(std::string_view bytes);

  // A counted reference to one of this client's objects, as COM would hand it out.
  template <class T>
  host::Ref<T> hand_out(const std::shared_ptr<T>& object);
  std::shared_ptr<Counters> counters_ptr() const { return counters_; }
  std::function<void(const Failure&)> event_failure_sink();

 private:
  class Explorers;
  class Inspectors;
  class AddInObject;
  class NamespaceObject;

  std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
  std::shared_ptr<StoredFile::Store> store_;  // made with the first stored file
  double copy_ms_ = 0;
  std::map<std::string, int> failing_;
  size_t fail_at_ = SIZE_MAX;
  std::string kill_call_;
  int kill_countdown_ = 0;
  std::vector<std::string> calls_;
  std::vector<Failure> event_failures_;
  std::vector<SentMessage> outbox_;
  std::vector<std::shared_ptr<SimExplorer>> explorers_;    // open, oldest first
  std::vector<std::shared_ptr<SimInspector>> inspectors_;  // open, oldest first
  std::weak_ptr<SimExplorer> active_explorer_;
  std::weak_ptr<SimInspector> active_inspector_;
  std::shared_ptr<Explorers> explorers_collection_;
  std::shared_ptr<Inspectors> inspectors_collection_;
  std::shared_ptr<NamespaceObject> namespace_;
  std::shared_ptr<AddInObject> addin_;
  std::shared_ptr<void> addin_object_;
  std::shared_ptr<SimOutlook> self_;  // non-owning alias used to hand out the application
  Event<> startup_;
  Event<host::Ref<host::Item>, bool&> item_send_;
  bool cancel_later_ = false;
  Personality personality_ = Personality::kind;
};

}  // namespace parvex::sim

namespace parvex::sim {

template <class T>
host::Ref<T> SimOutlook::hand_out(const std::shared_ptr<T>& object) {
  if (!object) return nullptr;
  // Counts one reference for as long as any copy of the handed-out pointer lives.
  struct Token {
    Token(std::shared_ptr<T> k, std::shared_ptr<Counters> c)
        : keep(std::move(k)), counters(std::move(c)) {
      ++counters->references;
    }
    ~Token() { --counters->references; }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    std::shared_ptr<T> keep;
    std::shared_ptr<Counters> counters;
  };
  auto token = std::make_shared<Token>(object, counters_);
  return host::Ref<T>(token, object.get());
}

}  // namespace parvex::sim
