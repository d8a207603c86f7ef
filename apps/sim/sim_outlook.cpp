#include "sim/sim_outlook.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_handles.h"
#endif

#include "seams/fs.h"

namespace parvex::sim {

std::filesystem::path as_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string as_utf8(const std::filesystem::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

std::string unique_tag() {
  static std::atomic<unsigned> counter{0};
#ifdef _WIN32
  const auto pid = _getpid();
#else
  const auto pid = ::getpid();
#endif
  return std::to_string(pid) + "-" + std::to_string(counter++);
}

// The client's private folder of attachment files, removed with everything in it.
class StoredFile::Store {
 public:
  Store() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto p = base / ("parvex-sim-" + std::to_string(stamp) + "-" + unique_tag());
      if (std::filesystem::create_directory(p)) {
        folder_ = p;
        return;
      }
    }
    raise(err::kPathFileAccess, "cannot create the client's attachment store", "Outlook");
  }
  ~Store() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::string new_path() {
    const auto u8 = (folder_ / std::to_string(next_++)).u8string();
    return std::string(u8.begin(), u8.end());
  }

 private:
  std::filesystem::path folder_;
  uint64_t next_ = 0;
};

StoredFile::~StoredFile() {
  if (!store_) return;  // the user's own file
  std::error_code ec;
  std::filesystem::remove(std::filesystem::path(std::u8string(path_.begin(), path_.end())), ec);
}

uint64_t copy_stream(std::FILE* in, const std::string& from, fs::File& out) {
  // One buffer for every copy: a fresh zeroed megabyte each time cost more than many a copy.
  thread_local std::vector<char> buf(256 * 1024);
  uint64_t total = 0;
  for (;;) {
    const size_t n = std::fread(buf.data(), 1, buf.size(), in);
    out.write(std::string_view(buf.data(), n));
    total += n;
    if (n < buf.size()) break;
  }
  if (std::ferror(in)) raise(err::kPathFileAccess, "Cannot read " + from + ".", "Outlook");
  return total;
}

namespace {

// What the file at path is, when it is anything but a regular file.
std::string refusal(const std::string& path, const std::filesystem::file_status& st) {
  using std::filesystem::file_type;
  switch (st.type()) {
    case file_type::directory:
      return path + " is a folder, not a file.";
    case file_type::fifo:
      return path + " is a pipe, not a file.";
    case file_type::character:
    case file_type::block:
      return path + " is a device, not a file.";
    default:
      return path + " is not a regular file.";
  }
}

// A regular file opened for reading. Anything else is refused by its kind before it is opened:
// a FIFO would wait for a writer, and a folder or a device reads as nothing or forever.
class RegularFile {
 public:
  explicit RegularFile(const std::string& path) {
    std::error_code ec;
    const auto st = std::filesystem::status(as_path(path), ec);
    if (st.type() == std::filesystem::file_type::not_found) {
      raise(err::kFileNotFound, "Cannot find the file " + path + ".", "Outlook");
    }
    if (ec) raise(err::kPathFileAccess, "Cannot read " + path + ": " + ec.message(), "Outlook");
    if (!std::filesystem::is_regular_file(st))
      raise(err::kPathFileAccess, refusal(path, st), "Outlook");
#ifdef _WIN32
    file_ = fs::File(path, "rb");
#else
    // Non-blocking, so that a FIFO swapped in since the check is not waited on either.
    pvx::posix::unique_fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
      raise(err::kPathFileAccess, "Cannot open " + path + ": " + std::strerror(errno), "Outlook");
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      raise(err::kPathFileAccess, path + " is not a regular file.", "Outlook");
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    stream_.reset(::fdopen(fd.get(), "rb"));
    if (!stream_) raise(err::kPathFileAccess, "Cannot read " + path + ".", "Outlook");
    (void)fd.release();  // the stream owns it now
#endif
  }
#ifdef _WIN32
  std::FILE* get() const {
    return file_.get();
  }

 private:
  fs::File file_;
#else
  std::FILE* get() const {
    return stream_.get();
  }

 private:
  pvx::unique_file stream_;
#endif
};

class EventSubscription final : public host::Subscription {
 public:
  using Remove = std::function<void()>;
  EventSubscription(Remove remove, std::shared_ptr<Counters> counters)
      : remove_(std::move(remove)), counters_(std::move(counters)) {
    ++counters_->subscriptions;
  }
  ~EventSubscription() override {
    remove_();
    --counters_->subscriptions;
  }

 private:
  Remove remove_;
  std::shared_ptr<Counters> counters_;
};

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

Contents::operator std::string() const {
  fs::File in(file_->path(), "rb");
  std::string bytes;
  bytes.reserve(static_cast<size_t>(file_->size()));
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) bytes.append(buf, n);
  if (std::ferror(in.get())) raise(err::kPathFileAccess, "Cannot read " + file_->path() + ".");
  return bytes;
}

namespace {

// Writes a new file in the store by fill; a failed write leaves no cut copy behind.
template <class Fill>
uint64_t write_stored(const std::string& copy, Fill&& fill) {
  try {
    fs::File out(copy, "wb");
    const uint64_t size = fill(out);
    out.close();
    return size;
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove(as_path(copy), ec);
    throw;
  }
}

}  // namespace

Contents SimOutlook::store_file(const std::string& path) {
  const RegularFile in(path);
  if (!store_) store_ = std::make_shared<StoredFile::Store>();
  const std::string copy = store_->new_path();
  const uint64_t size =
      write_stored(copy, [&](fs::File& out) { return copy_stream(in.get(), path, out); });
  return Contents(std::make_shared<StoredFile>(store_, copy, size));
}

Contents SimOutlook::refer_to_file(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(as_path(path), ec);
  // A file that claims no size may still have contents (as the kernel's own files do): copied.
  if (ec || size == 0) return store_file(path);
  const RegularFile in(path);  // refuses what is not a regular file
  char first;
  if (std::fread(&first, 1, 1, in.get()) != 1) {
    raise(err::kPathFileAccess, "Cannot read " + path + ".", "Outlook");
  }
  return Contents(std::make_shared<StoredFile>(nullptr, path, size));
}

Contents SimOutlook::store_bytes(std::string_view bytes) {
  if (!store_) store_ = std::make_shared<StoredFile::Store>();
  const std::string copy = store_->new_path();
  write_stored(copy, [&](fs::File& out) {
    out.write(bytes);
    return bytes.size();
  });
  return Contents(std::make_shared<StoredFile>(store_, copy, bytes.size()));
}

// ---- Event ----

template <class... Args>
host::SubscriptionPtr Event<Args...>::subscribe(std::function<void(Args...)> fn) {
  auto handler = std::make_shared<std::function<void(Args...)>>(std::move(fn));
  handlers_->push_back(handler);
  std::weak_ptr<std::vector<Handler>> list = handlers_;
  std::weak_ptr<std::function<void(Args...)>> weak_handler = handler;
  return std::make_unique<EventSubscription>(
      [list, weak_handler] {
        if (auto l = list.lock()) {
          const auto h = weak_handler.lock();
          l->erase(std::remove(l->begin(), l->end(), h), l->end());
        }
      },
      counters_);
}

template <class... Args>
void Event<Args...>::raise(const std::function<void(const Failure&)>& on_failure, Args... args) {
  const std::vector<Handler> snapshot = *handlers_;
  for (const Handler& h : snapshot) {
    // A handler released by an earlier one during this raise is not called.
    if (std::find(handlers_->begin(), handlers_->end(), h) == handlers_->end()) continue;
    try {
      (*h)(args...);
    } catch (...) {
      on_failure(current_failure());
    }
  }
}

template class Event<>;
template class Event<bool&>;
template class Event<host::Ref<host::Explorer>>;
template class Event<host::Ref<host::Inspector>>;
template class Event<host::Ref<host::CommandBarButton>, bool&>;
template class Event<host::Ref<host::Item>>;
template class Event<host::Ref<host::Item>, bool&>;

// ---- items and attachments ----

SimAttachment::SimAttachment(SimOutlook& outlook, SimItem& item, std::string file_name,
                             std::string display_name, Contents bytes)
    : outlook_(outlook),
      item_(item),
      file_name_(std::move(file_name)),
      display_name_(std::move(display_name)),
      bytes_(std::move(bytes)) {
  properties_[host::kAttachNumber] = item.take_number();
  position_ = static_cast<int32_t>(10 * (item.attachments_.size() + 1));
}

int32_t SimAttachment::Type() {
  outlook_.host_call("Attachment.Type");
  if (outlook_.personality() == Personality::ole_until_saved) return host::kOle;
  return type_;
}

std::optional<host::PropertyValue> SimAttachment::Property(uint32_t tag) {
  outlook_.host_call("Attachment.PropertyAccessor");
  if (tag == host::kAttachMethod) {
    return int64_t{type_ == host::kEmbeddedItem  ? 5
                   : type_ == host::kOle         ? 6
                   : type_ == host::kByReference ? 4
                                                 : 1};
  }
  if (tag == host::kRenderingPosition && outlook_.personality() == Personality::rtf_positions &&
      item_.body_format_ == host::kFormatRich) {
    return int64_t{position_};
  }
  const auto it = properties_.find(tag);
  if (it == properties_.end()) return std::nullopt;
  return it->second;
}

std::optional<host::PropertyValue> SimAttachment::NamedProperty(const std::string& name) {
  outlook_.host_call("Attachment.PropertyAccessor");
  const auto it = named_.find(name);
  if (it == named_.end()) return std::nullopt;
  return it->second;
}

void SimAttachment::SetProperty(const std::string& name, const host::PropertyValue& value) {
  outlook_.host_call("PropertyAccessor.SetProperty");
  named_[name] = value;
}

void SimAttachment::set_property(uint32_t tag, std::optional<host::PropertyValue> value) {
  if (value) {
    properties_[tag] = std::move(*value);
  } else {
    properties_.erase(tag);
  }
}

std::string SimAttachment::FileName() {
  outlook_.host_call("Attachment.FileName");
  return file_name_;
}

int64_t SimAttachment::Size() {
  outlook_.host_call("Attachment.Size");
  return static_cast<int64_t>(bytes_.size());
}

void SimAttachment::SaveAsFile(const std::string& path) {
  outlook_.host_call("Attachment.SaveAsFile");
  if (type_ == host::kOle) {
    raise(err::kHostCallFailed, "Outlook cannot do this action on this type of attachment.",
          "Outlook");
  }
  outlook_.timed_copy([&] {
    fs::File in(bytes_.path(), "rb");
    fs::File out(path, "wb");
    copy_stream(in.get(), bytes_.path(), out);
    out.close();
  });
}

void SimAttachment::Delete() {
  outlook_.host_call("Attachment.Delete");
  auto& list = item_.attachments_;
  const auto it =
      std::find_if(list.begin(), list.end(), [this](const auto& a) { return a.get() == this; });
  if (it == list.end())
    raise(err::kHostCallFailed, "The attachment was already deleted.", "Outlook");
  list.erase(it);
}

SimItem::SimItem(SimOutlook& outlook, int32_t item_class, std::string subject)
    : outlook_(outlook),
      class_(item_class),
      subject_(std::move(subject)),
      read_(outlook.counters_ptr()),
      send_(outlook.counters_ptr()) {}

int32_t SimItem::Class() {
  outlook_.host_call("Item.Class");
  return class_;
}

std::string SimItem::Subject() {
  outlook_.host_call("Item.Subject");
  return subject_;
}

int32_t SimItem::BodyFormat() {
  outlook_.host_call("Item.BodyFormat");
  return body_format_;
}

std::string SimItem::HtmlBody() {
  outlook_.host_call("Item.HTMLBody");
  return html_body_;
}

host::Ref<host::Attachments> SimItem::GetAttachments() {
  outlook_.host_call("Item.Attachments");
  return outlook_.hand_out<host::Attachments>(shared_from_this());
}

host::SubscriptionPtr SimItem::OnRead(std::function<void()> handler) {
  outlook_.host_call("Item.Read");
  return read_.subscribe(std::move(handler));
}

host::SubscriptionPtr SimItem::OnSend(std::function<void(bool&)> handler) {
  outlook_.host_call("Item.Send");
  return send_.subscribe(std::move(handler));
}

std::optional<host::PropertyValue> SimItem::GetProperty(const std::string& schema_name) {
  outlook_.host_call("Item.PropertyAccessor");
  const auto it = named_properties_.find(schema_name);
  if (it == named_properties_.end()) return std::nullopt;
  return it->second;
}

void SimItem::SetProperty(const std::string& schema_name, const host::PropertyValue& value) {
  outlook_.host_call("Item.PropertyAccessor");
  named_properties_[schema_name] = value;
}

int32_t SimItem::Count() {
  outlook_.host_call("Attachments.Count");
  return static_cast<int32_t>(attachments_.size());
}

int64_t SimItem::take_number() {
  if (outlook_.personality() != Personality::reused_numbers) return next_number_++;
  // The lowest number no attachment holds now.
  for (int64_t n = 1;; ++n) {
    if (std::none_of(attachments_.begin(), attachments_.end(), [&](const auto& a) {
          return a->properties_.at(host::kAttachNumber) == host::PropertyValue{n};
        }))
      return n;
  }
}

namespace {

// An attachment object of a host that hands out a new one at each request: bound to its
// attachment (fresh-objects, whose number cannot be read; reused-numbers, whose can) or to a
// place (index-bound).
class AttachmentView final : public host::Attachment {
 public:
  AttachmentView(SimOutlook& outlook, std::shared_ptr<SimItem> item,
                 std::shared_ptr<SimAttachment> bound, int32_t index)
      : outlook_(outlook), item_(std::move(item)), bound_(std::move(bound)), index_(index) {}
  int32_t Type() override { return target().Type(); }
  std::optional<host::PropertyValue> Property(uint32_t tag) override {
    if (tag == host::kAttachNumber && outlook_.personality() == Personality::fresh_objects) {
      outlook_.host_call("Attachment.PropertyAccessor");
      raise(static_cast<int32_t>(0x8004010F), "The property cannot be found.", "Outlook");
    }
    return target().Property(tag);
  }
  std::optional<host::PropertyValue> NamedProperty(const std::string& name) override {
    return target().NamedProperty(name);
  }
  void SetProperty(const std::string& name, const host::PropertyValue& value) override {
    target().SetProperty(name, value);
  }
  bool Is(host::Attachment& other) override { return &other == this; }
  std::string FileName() override { return target().FileName(); }
  int64_t Size() override { return target().Size(); }
  void SaveAsFile(const std::string& path) override { target().SaveAsFile(path); }
  void Delete() override { target().Delete(); }

 private:
  SimAttachment& target() {
    if (bound_) return *bound_;
    const auto& list = item_->attachments();
    if (index_ < 1 || index_ > static_cast<int32_t>(list.size())) {
      raise(err::kHostCallFailed, "The attachment no longer exists.", "Outlook");
    }
    return *list[static_cast<size_t>(index_ - 1)];
  }
  SimOutlook& outlook_;
  std::shared_ptr<SimItem> item_;
  std::shared_ptr<SimAttachment> bound_;
  int32_t index_;
};

}  // namespace

host::Ref<host::Attachment> SimItem::GetItem(int32_t index) {
  outlook_.host_call("Attachments.Item");
  if (index < 1 || index > static_cast<int32_t>(attachments_.size())) {
    raise(err::kHostCallFailed, "Array index out of bounds.", "Outlook");
  }
  const auto& attachment = attachments_[static_cast<size_t>(index - 1)];
  switch (outlook_.personality()) {
    case Personality::fresh_objects:
    case Personality::reused_numbers:
      return outlook_.hand_out<host::Attachment>(
          std::make_shared<AttachmentView>(outlook_, shared_from_this(), attachment, 0));
    case Personality::index_bound:
      return outlook_.hand_out<host::Attachment>(
          std::make_shared<AttachmentView>(outlook_, shared_from_this(), nullptr, index));
    default:
      return outlook_.hand_out<host::Attachment>(attachment);
  }
}

host::Ref<host::Attachment> SimItem::Add(const std::string& source, std::optional<int32_t> type,
                                         std::optional<int32_t> position,
                                         const std::string& display_name) {
  outlook_.host_call("Attachments.Add");
  if (type && *type != host::kByValue) {
    raise(err::kHostCallFailed, "Only attachments by value are supported.", "Outlook");
  }
  // The file is copied into the item now: later changes to it do not reach the message. The
  // display name shows only in rich text; elsewhere the recipient sees the source's file name.
  const bool named = !display_name.empty() && body_format_ == host::kFormatRich;
  auto attachment = std::make_shared<SimAttachment>(
      outlook_, *this, base_name(source), named ? display_name : base_name(source),
      outlook_.timed_copy([&] { return outlook_.store_file(source); }));
  size_t at = attachments_.size();
  if (outlook_.personality() == Personality::rtf_positions) {
    // A character of a rich-text body: before the first attachment rendered after it.
    if (position && body_format_ == host::kFormatRich) {
      attachment->position_ = *position;
      at = static_cast<size_t>(
          std::find_if(attachments_.begin(), attachments_.end(),
                       [&](const auto& a) { return a->position_ > *position; }) -
          attachments_.begin());
    }
  } else if (position && *position >= 1 && static_cast<size_t>(*position) <= attachments_.size()) {
    at = static_cast<size_t>(*position - 1);
  }
  attachments_.insert(attachments_.begin() + static_cast<std::ptrdiff_t>(at), attachment);
  return outlook_.hand_out<host::Attachment>(attachment);
}

void SimItem::attach_file(const std::string& path) {
  const std::string name = base_name(path);
  attachments_.push_back(
      std::make_shared<SimAttachment>(outlook_, *this, name, name, outlook_.refer_to_file(path)));
}

SimAttachment& SimItem::attach_bytes(const std::string& file_name, const std::string& bytes) {
  attachments_.push_back(std::make_shared<SimAttachment>(outlook_, *this, file_name, file_name,
                                                         outlook_.store_bytes(bytes)));
  return *attachments_.back();
}

void SimItem::attach_inline(const std::string& path, const std::string& content_id) {
  attach_file(path);
  SimAttachment& a = *attachments_.back();
  a.set_property(host::kAttachContentId, content_id);
  a.set_property(host::kAttachFlags, int64_t{0x4});
  if (body_format_ != host::kFormatHtml) set_body(host::kFormatHtml, "");
  const std::string picture = "<img src=\"cid:" + content_id + "\">";
  const auto end = html_body_.rfind("</body>");
  html_body_.insert(end == std::string::npos ? html_body_.size() : end, picture);
}

void SimItem::attach_item(const std::string& subject) {
  attach_bytes(subject + ".msg", "Subject: " + subject + "\r\n").set_type(host::kEmbeddedItem);
}

void SimItem::attach_object(const std::string& name) {
  attach_bytes(name + ".object", "OLE object " + name + "\r\n").set_type(host::kOle);
}

void SimItem::attach_link(const std::string& path) {
  attach_bytes(base_name(path) + ".url", "[InternetShortcut]\r\nURL=file://" + path + "\r\n")
      .set_type(host::kByReference);
}

void SimItem::set_body(int32_t format, std::string text) {
  body_format_ = format;
  html_body_ = format == host::kFormatHtml && text.find("<body") == std::string::npos
                   ? "<html><body>" + text + "</body></html>"
                   : std::move(text);
}

// ---- command bars ----

SimCommandBarButton::SimCommandBarButton(SimOutlook& outlook, SimCommandBar& bar, bool temporary)
    : outlook_(outlook), bar_(bar), temporary_(temporary), click_(outlook.counters_ptr()) {}

void SimCommandBarButton::Delete() {
  outlook_.host_call("CommandBarButton.Delete");
  const auto keep = shared_from_this();
  std::erase(bar_.buttons_, keep);
}

void SimCommandBarButton::SetCaption(const std::string& caption) {
  outlook_.host_call("CommandBarButton.Caption");
  caption_ = caption;
}

void SimCommandBarButton::SetEnabled(bool enabled) {
  outlook_.host_call("CommandBarButton.Enabled");
  enabled_ = enabled;
}

host::SubscriptionPtr SimCommandBarButton::OnClick(
    std::function<void(host::Ref<host::CommandBarButton>, bool&)> handler) {
  outlook_.host_call("CommandBarButton.Click");
  return click_.subscribe(std::move(handler));
}

void SimCommandBarButton::click() {
  bool cancel_default = false;
  click_.raise(outlook_.event_failure_sink(),
               outlook_.hand_out<host::CommandBarButton>(shared_from_this()), cancel_default);
}

void SimCommandBar::SetVisible(bool visible) {
  outlook_.host_call("CommandBar.Visible");
  visible_ = visible;
}

host::Ref<host::CommandBarControls> SimCommandBar::GetControls() {
  outlook_.host_call("CommandBar.Controls");
  // The bar is owned by its command bars; hand out an alias that keeps nothing else alive.
  return outlook_.hand_out<host::CommandBarControls>(
      std::shared_ptr<host::CommandBarControls>(std::shared_ptr<void>(), this));
}

host::Ref<host::CommandBarButton> SimCommandBar::Add(int32_t type, bool temporary) {
  outlook_.host_call("CommandBarControls.Add");
  if (type != host::kControlButton) {
    raise(err::kHostCallFailed, "Only buttons are supported.", "Office");
  }
  auto button = std::make_shared<SimCommandBarButton>(outlook_, *this, temporary);
  buttons_.push_back(button);
  return outlook_.hand_out<host::CommandBarButton>(button);
}

SimCommandBars::SimCommandBars(SimOutlook& outlook) : outlook_(outlook) {
  for (const char* name : {"standard", "advanced", "web"}) {
    bars_[name] = std::make_shared<SimCommandBar>(outlook);
  }
}

host::Ref<host::CommandBar> SimCommandBars::GetItem(const std::string& name) {
  outlook_.host_call("CommandBars.Item");
  const auto it = bars_.find(lower(name));
  if (it == bars_.end()) raise(err::kHostCallFailed, "Invalid index.", "Office");
  return outlook_.hand_out<host::CommandBar>(it->second);
}

std::shared_ptr<SimCommandBar> SimCommandBars::bar(const std::string& name) const {
  const auto it = bars_.find(lower(name));
  return it == bars_.end() ? nullptr : it->second;
}

// ---- windows ----

template <class Interface>
SimWindow<Interface>::SimWindow(SimOutlook& outlook, std::string caption, const char* kind)
    : outlook_(outlook),
      caption_(std::move(caption)),
      kind_(kind),
      activate_(outlook.counters_ptr()),
      close_(outlook.counters_ptr()) {
#ifdef _WIN32
  // Without a display (wine without one) none can be made: a number stands in.
  if (const HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                          nullptr, nullptr)) {
    native_ = std::shared_ptr<void>(window, [](void* w) { DestroyWindow(static_cast<HWND>(w)); });
    handle_ = reinterpret_cast<std::uintptr_t>(window);
  }
#endif
  static std::atomic<std::uintptr_t> next{0x10000};
  if (!handle_) handle_ = next += 4;
}

template <class Interface>
std::uintptr_t SimWindow<Interface>::WindowHandle() {
  outlook_.host_call((std::string(kind_) + ".WindowHandle").c_str());
  return handle_;
}

template <class Interface>
bool SimWindow<Interface>::EnableWindow(bool enable) {
  const bool was = enabled();
#ifdef _WIN32
  if (native_) ::EnableWindow(static_cast<HWND>(native_.get()), enable);
#endif
  enabled_ = enable;
  return was;
}

template <class Interface>
bool SimWindow<Interface>::enabled() const {
#ifdef _WIN32
  if (native_) return IsWindowEnabled(static_cast<HWND>(native_.get())) != FALSE;
#endif
  return enabled_;
}

template <class Interface>
std::string SimWindow<Interface>::Caption() {
  outlook_.host_call((std::string(kind_) + ".Caption").c_str());
  return caption_;
}

template <class Interface>
host::SubscriptionPtr SimWindow<Interface>::OnActivate(std::function<void()> handler) {
  outlook_.host_call((std::string(kind_) + ".Activate").c_str());
  return activate_.subscribe(std::move(handler));
}

template <class Interface>
host::SubscriptionPtr SimWindow<Interface>::OnClose(std::function<void()> handler) {
  outlook_.host_call((std::string(kind_) + ".Close").c_str());
  return close_.subscribe(std::move(handler));
}

template class SimWindow<host::Explorer>;
template class SimWindow<host::Inspector>;

SimExplorer::SimExplorer(SimOutlook& outlook, std::string caption)
    : SimWindow(outlook, std::move(caption), "Explorer"),
      bars_(std::make_shared<SimCommandBars>(outlook)),
      inline_response_event_(outlook.counters_ptr()) {}

host::SubscriptionPtr SimExplorer::OnInlineResponse(
    std::function<void(host::Ref<host::Item>)> handler) {
  outlook_.host_call("Explorer.InlineResponse");
  return inline_response_event_.subscribe(std::move(handler));
}

void SimExplorer::set_inline_response(std::shared_ptr<SimItem> item) {
  inline_response_ = std::move(item);
  if (inline_response_) {
    inline_response_event_.raise(outlook_.event_failure_sink(),
                                 outlook_.hand_out<host::Item>(inline_response_));
  }
}

host::Ref<host::CommandBars> SimExplorer::GetCommandBars() {
  outlook_.host_call("Explorer.CommandBars");
  return outlook_.hand_out<host::CommandBars>(bars_);
}

host::Ref<host::Item> SimExplorer::ActiveInlineResponse() {
  outlook_.host_call("Explorer.ActiveInlineResponse");
  return outlook_.hand_out<host::Item>(inline_response_);
}

SimInspector::SimInspector(SimOutlook& outlook, std::string caption, std::shared_ptr<SimItem> item)
    : SimWindow(outlook, std::move(caption), "Inspector"), item_(std::move(item)) {}

host::Ref<host::Item> SimInspector::CurrentItem() {
  outlook_.host_call("Inspector.CurrentItem");
  return outlook_.hand_out<host::Item>(item_);
}

// ---- the application ----

class SimOutlook::Explorers final : public host::Explorers {
 public:
  explicit Explorers(SimOutlook& o) : outlook_(o), new_explorer(o.counters_ptr()) {}
  int32_t Count() override {
    outlook_.host_call("Explorers.Count");
    return static_cast<int32_t>(outlook_.explorers_.size());
  }
  host::SubscriptionPtr OnNewExplorer(std::function<void(host::Ref<host::Explorer>)> h) override {
    outlook_.host_call("Explorers.NewExplorer");
    return new_explorer.subscribe(std::move(h));
  }
  SimOutlook& outlook_;
  Event<host::Ref<host::Explorer>> new_explorer;
};

class SimOutlook::Inspectors final : public host::Inspectors {
 public:
  explicit Inspectors(SimOutlook& o) : outlook_(o), new_inspector(o.counters_ptr()) {}
  int32_t Count() override {
    outlook_.host_call("Inspectors.Count");
    return static_cast<int32_t>(outlook_.inspectors_.size());
  }
  host::SubscriptionPtr OnNewInspector(std::function<void(host::Ref<host::Inspector>)> h) override {
    outlook_.host_call("Inspectors.NewInspector");
    return new_inspector.subscribe(std::move(h));
  }
  SimOutlook& outlook_;
  Event<host::Ref<host::Inspector>> new_inspector;
};

class SimOutlook::NamespaceObject final : public host::Namespace {};

class SimOutlook::AddInObject final : public host::AddIn {
 public:
  explicit AddInObject(SimOutlook& o) : outlook_(o) {}
  void SetObject(std::shared_ptr<void> object) override {
    outlook_.host_call("AddIn.Object");
    outlook_.addin_object_ = std::move(object);
  }
  SimOutlook& outlook_;
};

SimOutlook::SimOutlook()
    : explorers_collection_(std::make_shared<Explorers>(*this)),
      inspectors_collection_(std::make_shared<Inspectors>(*this)),
      namespace_(std::make_shared<NamespaceObject>()),
      addin_(std::make_shared<AddInObject>(*this)),
      self_(this, [](SimOutlook*) {}),
      startup_(counters_),
      item_send_(counters_) {}

SimOutlook::~SimOutlook() = default;

host::Ref<host::Namespace> SimOutlook::GetNamespace(const std::string& type) {
  host_call("Application.GetNamespace");
  if (type != "MAPI") raise(err::kHostCallFailed, "Unknown namespace type.", "Outlook");
  return hand_out<host::Namespace>(namespace_);
}

host::Ref<host::Explorer> SimOutlook::ActiveExplorer() {
  host_call("Application.ActiveExplorer");
  return hand_out<host::Explorer>(active_explorer_.lock());
}

host::Ref<host::Inspector> SimOutlook::ActiveInspector() {
  host_call("Application.ActiveInspector");
  return hand_out<host::Inspector>(active_inspector_.lock());
}

host::Ref<host::Explorers> SimOutlook::GetExplorers() {
  host_call("Application.Explorers");
  return hand_out<host::Explorers>(explorers_collection_);
}

host::Ref<host::Inspectors> SimOutlook::GetInspectors() {
  host_call("Application.Inspectors");
  return hand_out<host::Inspectors>(inspectors_collection_);
}

host::SubscriptionPtr SimOutlook::OnStartup(std::function<void()> handler) {
  host_call("Application.Startup");
  return startup_.subscribe(std::move(handler));
}

host::SubscriptionPtr SimOutlook::OnItemSend(
    std::function<void(host::Ref<host::Item>, bool&)> handler) {
  host_call("Application.ItemSend");
  return item_send_.subscribe(std::move(handler));
}

host::Ref<host::Application> SimOutlook::application() {
  return hand_out<host::Application>(self_);
}

host::Ref<host::AddIn> SimOutlook::addin() {
  return hand_out<host::AddIn>(addin_);
}

std::function<void(const Failure&)> SimOutlook::event_failure_sink() {
  return [this](const Failure& f) { event_failures_.push_back(f); };
}

std::shared_ptr<SimExplorer> SimOutlook::open_explorer(const std::string& caption) {
  auto explorer = std::make_shared<SimExplorer>(*this, caption);
  explorers_.push_back(explorer);
  active_explorer_ = explorer;
  explorers_collection_->new_explorer.raise(event_failure_sink(),
                                            hand_out<host::Explorer>(explorer));
  return explorer;
}

std::shared_ptr<SimItem> SimOutlook::new_item(int32_t item_class, const std::string& subject) {
  return std::make_shared<SimItem>(*this, item_class, subject);
}

std::shared_ptr<SimInspector> SimOutlook::open_inspector(const std::shared_ptr<SimItem>& item,
                                                         const std::string& caption) {
  auto inspector = std::make_shared<SimInspector>(*this, caption, item);
  inspectors_.push_back(inspector);
  active_inspector_ = inspector;
  inspectors_collection_->new_inspector.raise(event_failure_sink(),
                                              hand_out<host::Inspector>(inspector));
  return inspector;
}

void SimOutlook::activate(const std::shared_ptr<SimExplorer>& explorer) {
  if (explorer->closed_) return;
  active_explorer_ = explorer;
  explorer->activate_.raise(event_failure_sink());
}

void SimOutlook::activate(const std::shared_ptr<SimInspector>& inspector) {
  if (inspector->closed_) return;
  active_inspector_ = inspector;
  inspector->activate_.raise(event_failure_sink());
}

void SimOutlook::close(const std::shared_ptr<SimExplorer>& explorer) {
  if (explorer->closed_) return;  // Close is raised once per window
  explorer->closed_ = true;
  // Handlers still count the closing window among the open ones.
  explorer->close_.raise(event_failure_sink());
  explorers_.erase(std::remove(explorers_.begin(), explorers_.end(), explorer), explorers_.end());
  if (active_explorer_.lock() == explorer) {
    active_explorer_ = explorers_.empty() ? nullptr : explorers_.back();
  }
}

void SimOutlook::close(const std::shared_ptr<SimInspector>& inspector) {
  if (inspector->closed_) return;
  inspector->closed_ = true;
  inspector->close_.raise(event_failure_sink());
  inspectors_.erase(std::remove(inspectors_.begin(), inspectors_.end(), inspector),
                    inspectors_.end());
  if (active_inspector_.lock() == inspector) {
    active_inspector_ = inspectors_.empty() ? nullptr : inspectors_.back();
  }
}

void SimOutlook::raise_startup() {
  startup_.raise(event_failure_sink());
}

void SimOutlook::read(const std::shared_ptr<SimItem>& item) {
  item->read_.raise(event_failure_sink());
}

bool SimOutlook::send(const std::shared_ptr<SimItem>& item) {
  bool cancel = false;
  // Every handler is called, each seeing what the ones before it set. The host promises no
  // order between the two events: fresh-objects raises the application's first.
  const bool application_first = personality_ == Personality::fresh_objects;
  if (application_first) item_send_.raise(event_failure_sink(), hand_out<host::Item>(item), cancel);
  item->send_.raise(event_failure_sink(), cancel);
  if (!application_first)
    item_send_.raise(event_failure_sink(), hand_out<host::Item>(item), cancel);
  // A window the handlers disabled and never enabled again would take no more input.
  const auto left_disabled = [this](const auto& windows) {
    for (const auto& w : windows) {
      if (!w->enabled())
        event_failures_.emplace_back(err::kHostCallFailed, "Outlook",
                                     w->caption_ + " was left disabled");
    }
  };
  left_disabled(explorers_);
  left_disabled(inspectors_);
  if (std::exchange(cancel_later_, false)) cancel = true;
  if (cancel) return false;
  SentMessage message{item->subject_, {}, item->body_format_, item->html_body_};
  for (const auto& a : item->attachments_) {
    message.attachments.push_back(
        {a->file_name(), a->display_name(), a->bytes(), a->type(), a->marked()});
  }
  outbox_.push_back(std::move(message));
  item->sent_ = true;
  // The message window closes once its item has left.
  const auto open = inspectors_;
  for (const auto& inspector : open) {
    if (inspector->item() == item) close(inspector);
  }
  return true;
}

Personality personality_named(const std::string& name) {
  for (size_t i = 0; i < std::size(kPersonalities); ++i) {
    if (name == kPersonalities[i]) return static_cast<Personality>(i);
  }
  raise(err::kInvalidCall, "no host personality " + name);
}

namespace {

// Every call the client counts: a misspelt one given to fail would never fail.
constexpr std::string_view kHostCalls =
    " "
    "AddIn.Object Application.ActiveExplorer Application.ActiveInspector "
    "Application.Explorers Application.GetNamespace Application.Inspectors "
    "Application.ItemSend Application.Startup Attachment.Delete Attachment.FileName "
    "Attachment.PropertyAccessor Attachment.SaveAsFile Attachment.Size Attachment.Type "
    "Attachments.Add Attachments.Count Attachments.Item CommandBar.Controls "
    "CommandBar.Visible CommandBarButton.Caption CommandBarButton.Click "
    "CommandBarButton.Delete CommandBarButton.Enabled CommandBarControls.Add "
    "CommandBars.Item Explorer.Activate Explorer.ActiveInlineResponse Explorer.Caption "
    "Explorer.Close Explorer.CommandBars Explorer.InlineResponse Explorer.WindowHandle "
    "Explorers.Count Explorers.NewExplorer "
    "Inspector.Activate Inspector.Caption Inspector.Close Inspector.CurrentItem "
    "Inspector.WindowHandle "
    "Inspectors.Count Inspectors.NewInspector Item.Attachments Item.BodyFormat Item.Class "
    "Item.HTMLBody Item.PropertyAccessor Item.Read Item.Send Item.Subject "
    "PropertyAccessor.SetProperty ";

void require_known(const std::string& call) {
  if (call.empty() || kHostCalls.find(" " + call + " ") == std::string_view::npos) {
    raise(err::kInvalidCall,
          "no host call named " + call + " (names such as Attachments.Add, Item.HTMLBody)");
  }
}

}  // namespace

void SimOutlook::fail(const std::string& call, int times) {
  require_known(call);
  failing_[call] = times;
}

void SimOutlook::kill_at(const std::string& call, int nth) {
  require_known(call);
  kill_call_ = call;
  kill_countdown_ = nth;
}

void SimOutlook::host_call(const char* call) {
  calls_.emplace_back(call);
  if (kill_countdown_ > 0 && calls_.back() == kill_call_ && --kill_countdown_ == 0) {
    std::fflush(nullptr);  // what was printed so far, for whoever reads it; nothing of the add-in
#ifdef _WIN32
    std::_Exit(137);
#else
    ::kill(::getpid(), SIGKILL);
#endif
  }
  if (calls_.size() - 1 == fail_at_) {
    raise(err::kHostCallFailed, std::string("The host call ") + call + " failed.", "Outlook");
  }
  const auto it = failing_.find(call);
  if (it == failing_.end()) return;
  if (it->second > 0 && --it->second == 0) failing_.erase(it);
  raise(err::kHostCallFailed, std::string("The host call ") + call + " failed.", "Outlook");
}

}  // namespace parvex::sim
