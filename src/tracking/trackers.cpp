#include "tracking/trackers.h"

#include <algorithm>
#include <vector>

#include "compression/mail_send.h"
#include "ui/frm_outlook.h"

namespace parvex {
using host::required;

namespace {

// Init's first two steps, the same on both sides: hold the application with its Startup
// event, then share it as gobjOutlook. Each step is attempted on its own.
void bind_application(const host::Ref<host::Application>& application,
                      host::Ref<host::Application>& holder, host::SubscriptionPtr& startup,
                      std::function<void()> on_startup) {
  attempt([&] {
    startup.reset();
    holder = application;
    if (holder) startup = holder->OnStartup(std::move(on_startup));
  });
  attempt([&] { gobjOutlook() = application; });
}

// The first event of each send whose other event has not come yet, with its item held until it
// does: a send made while another packs comes in between.
struct SeenSend {
  host::Ref<host::Item> item;
  SendEvent event = SendEvent::item;
};
struct SeenSends {
  std::vector<SeenSend> half;
};
constexpr size_t kHalfSeenKept = 8;  // a host that raises only one event leaves some behind

bool same_item(const host::Ref<host::Item>& a, const host::Ref<host::Item>& b) {
  bool same = false;
  attempt([&] { same = a == b || required(a).Is(required(b)); });
  return same;
}

// The window that shows the item: its inspector, else the main window whose reading pane holds
// it; null for an item no window shows (a program's send).
host::Ref<host::Window> window_of(const host::Ref<host::Item>& item) {
  for (const auto& [key, wrapper] : moduleOutlookInspector::instance().wrappers()) {
    const host::Ref<host::Inspector> inspector = wrapper->window();
    bool shows = false;
    attempt([&] { shows = inspector && same_item(inspector->CurrentItem(), item); });
    if (shows) return inspector;
  }
  for (const auto& [key, wrapper] : moduleOutlookExplorer::instance().wrappers()) {
    const host::Ref<host::Explorer> explorer = wrapper->window();
    bool shows = false;
    attempt([&] { shows = explorer && same_item(explorer->ActiveInlineResponse(), item); });
    if (shows) return explorer;
  }
  return nullptr;
}

}  // namespace

void send_once(SendEvent event, const host::Ref<host::Item>& item, bool& Cancel) {
  auto& half = program_state<SeenSends>().half;
  const auto same = std::find_if(half.begin(), half.end(),
                                 [&](const SeenSend& s) { return same_item(s.item, item); });
  if (same != half.end()) {
    const bool pair = same->event != event;
    half.erase(same);
    if (pair) return;
    // The same event again is a new send of the item: one that was cancelled, sent once more.
  }
  if (half.size() == kHalfSeenKept) half.erase(half.begin());
  half.push_back({item, event});
  if (Cancel || !item) return;
  compression::send_item(item, Cancel, window_of(item));
}

void forget_sends() {
  program_state<SeenSends>() = {};
}

// ---- explorer side ----

void clsOutlookExplorerEvents::Init(host::Ref<host::Application> application) {
  bind_application(application, objOutlook, outlook_events_, [this] { objOutlook_Startup(); });
  attempt([&] {
    explorers_events_.reset();
    colExplorers.reset();
    colExplorers = required(application).GetExplorers();
    explorers_events_ = required(colExplorers).OnNewExplorer([this](host::Ref<host::Explorer> e) {
      colExplorers_NewExplorer(std::move(e));
    });
  });
  if (attempt_condition([&] { return required(colExplorers).Count() >= 1; })) {
    attempt([&] { AddExplorer(required(application).ActiveExplorer()); });
  }
  attempt([&] { lclExplorer = required(application).ActiveExplorer(); });
}

void clsOutlookExplorerEvents::Shutdown() {
  attempt([&] { lclExplorer.reset(); });
  attempt([&] {
    explorers_events_.reset();
    colExplorers.reset();
  });
  attempt([&] { gobjOutlook().reset(); });
  attempt([&] {
    outlook_events_.reset();
    objOutlook.reset();
  });
}

void clsOutlookExplorerEvents::colExplorers_NewExplorer(host::Ref<host::Explorer> explorer) {
  attempt([&] { LogEvent("Adaugare explorer: " + required(explorer).Caption()); });
  attempt([&] { AddExplorer(explorer); });
}

void clsOutlookExplorerEvents::objOutlook_Startup() {
  attempt([&] { LogEvent("Obiect_Startup."); });
  if (attempt_condition([&] { return required(colExplorers).Count() != 0; })) {
    attempt([&] { AddExplorer(required(objOutlook).ActiveExplorer()); });
  }
}

// ---- inspector side ----

void clsOutlookInspectorEvents::Init(host::Ref<host::Application> application) {
  bind_application(application, objOutlook, outlook_events_, [this] { objOutlook_Startup(); });
  attempt([&] {
    inspectors_events_.reset();
    colInspectors.reset();
    colInspectors = required(application).GetInspectors();
    inspectors_events_ =
        required(colInspectors).OnNewInspector([this](host::Ref<host::Inspector> i) {
          colInspectors_NewInspector(std::move(i));
        });
  });
  if (attempt_condition([&] { return required(colInspectors).Count() >= 1; })) {
    attempt([&] { AddInspector(required(application).ActiveInspector()); });
  }
  attempt([&] { objInspector_ = required(application).ActiveInspector(); });
}

void clsOutlookInspectorEvents::Shutdown() {
  attempt([&] {
    inspectors_events_.reset();
    colInspectors.reset();
  });
  attempt([&] { gobjOutlook().reset(); });
  attempt([&] {
    outlook_events_.reset();
    objOutlook.reset();
  });
  attempt([&] { release_mail_item(); });
}

void clsOutlookInspectorEvents::colInspectors_NewInspector(host::Ref<host::Inspector> inspector) {
  host::Ref<host::Item> item;
  attempt([&] { objInspector_ = inspector; });
  attempt([&] { item = required(objInspector_).CurrentItem(); });
  attempt([&] { LogEvent("Inspector: " + required(inspector).Caption()); });
  attempt([&] { AddInspector(inspector); });
  // Only a class that was read and is 43 binds; otherwise the subscription stays as it was.
  attempt([&] {
    if (required(item).Class() == host::kClassMail) set_mail_item(item);
  });
}

void clsOutlookInspectorEvents::objOutlook_Startup() {
  LogEvent("Start obiect.");
  if (required(colInspectors).Count() != 0) AddInspector(required(objOutlook).ActiveInspector());
}

void clsOutlookInspectorEvents::set_mail_item(host::Ref<host::Item> item) {
  release_mail_item();
  objMailItem_ = std::move(item);
  if (!objMailItem_) return;
  objMailItem_read_ = objMailItem_->OnRead([this] { objMailItem_Read(); });
  objMailItem_send_ = objMailItem_->OnSend([this](bool& cancel) { objMailItem_Send(cancel); });
}

void clsOutlookInspectorEvents::objMailItem_Send(bool& Cancel) {
  // A copy: a mail window opened while the send packs rebinds objMailItem.
  const host::Ref<host::Item> item = objMailItem_;
  if (item) send_once(SendEvent::item, item, Cancel);
}

void clsOutlookInspectorEvents::objMailItem_Read() {
  compression::read_item(required(objMailItem_));
}

void clsOutlookInspectorEvents::release_mail_item() {
  objMailItem_read_.reset();
  objMailItem_send_.reset();
  objMailItem_.reset();
}

}  // namespace parvex
