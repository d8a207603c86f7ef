#include "tracking/window_tracking.h"

#include <type_traits>

#include "tracking/trackers.h"
#include "ui/frm_outlook.h"

namespace parvex {
namespace {

struct SharedHost {
  host::Ref<host::Application> application;
};

[[noreturn]] void raise_object_required() {
  raise(err::kObjectRequired, "Object required");
}

}  // namespace

host::Ref<host::Application>& gobjOutlook() {
  return program_state<SharedHost>().application;
}

template <class Side>
void WindowWrapper<Side>::set_window(host::Ref<HostWindow> window) {
  release_window();
  window_ = std::move(window);
  if (!window_) return;
  // Handlers reach the wrapper through a weak reference: the subscription must not keep it.
  std::weak_ptr<WindowWrapper> weak = this->weak_from_this();
  activate_ = window_->OnActivate([weak] {
    if (auto self = weak.lock()) self->on_activate();
  });
  close_ = window_->OnClose([weak] {
    if (auto self = weak.lock()) self->on_close();
  });
  if constexpr (std::is_same_v<Side, ExplorerSide>) {
    // A host older than replies in the reading pane has no such event: the rest still holds.
    attempt([&] {
      inline_response_ = window_->OnInlineResponse([weak](host::Ref<host::Item> item) {
        if (auto self = weak.lock()) self->on_inline_response(std::move(item));
      });
    });
  }
}

template <class Side>
void WindowWrapper<Side>::on_inline_response(host::Ref<host::Item> item) {
  attempt([&] { LogEvent("Inline response: " + host::required(item).Subject()); });
  // Only a mail item binds; the previous reply of this window is let go either way.
  inline_send_.reset();
  attempt([&] {
    if (host::required(item).Class() != host::kClassMail) return;
    inline_send_ = item->OnSend([item](bool& cancel) { send_once(SendEvent::item, item, cancel); });
  });
}

template <class Side>
void WindowWrapper<Side>::on_close() {
  // Unregistering drops the registry's reference; stay alive until the handler returns.
  const auto self = this->shared_from_this();
  attempt([&] { WindowRegistry<Side>::instance().kill(key_, this); });
  attempt([&] {
    if (!window_) raise_object_required();
    LogEvent(window_->Caption() + Side::kClosedSuffix);
  });
  attempt([&] { release_window(); });
  const bool clear = attempt_condition([&] {
    const auto app = gobjOutlook();
    if (!app) raise_object_required();
    return Side::no_main_window_left(app->GetExplorers()->Count());
  });
  if (clear) {
    attempt([&] { gobjOutlook().reset(); });
  } else {
    attempt([&] { LogEvent(Side::kOthersRemain); });
  }
}

template <class Side>
void WindowRegistry<Side>::add(host::Ref<typename Side::HostWindow> window) {
  auto wrapper = std::make_shared<Wrapper>();
  wrapper->set_window(std::move(window));
  wrapper->set_key(next_id_);
  const std::string key = std::to_string(next_id_);
  if (wrappers_.count(key)) {
    raise(err::kKeyInUse, "This key is already associated with an element of this collection");
  }
  wrappers_.emplace(key, std::move(wrapper));
  // A 16-bit counter: past 32767 the addition overflows and the counter stays.
  if (next_id_ == INT16_MAX) raise(err::kOverflow, "Overflow");
  ++next_id_;
}

template <class Side>
void WindowRegistry<Side>::kill(int16_t key, const Wrapper* wrapper) {
  const auto it = wrappers_.find(std::to_string(key));
  if (it == wrappers_.end()) raise(err::kInvalidCall, "Invalid procedure call or argument");
  if (it->second.get() != wrapper) raise(1, Side::kKillFailure);
  // Erase before the wrapper may die, so its destructor never sees itself registered.
  const auto doomed = std::move(it->second);
  wrappers_.erase(it);
}

template class WindowWrapper<ExplorerSide>;
template class WindowWrapper<InspectorSide>;
template class WindowRegistry<ExplorerSide>;
template class WindowRegistry<InspectorSide>;

void AddExplorer(host::Ref<host::Explorer> explorer) {
  moduleOutlookExplorer::instance().add(std::move(explorer));
}
void KillExplorer(int16_t key, const clsExplorerWrapper* wrapper) {
  moduleOutlookExplorer::instance().kill(key, wrapper);
}
void AddInspector(host::Ref<host::Inspector> inspector) {
  moduleOutlookInspector::instance().add(std::move(inspector));
}
void KillInspector(int16_t key, const clsInspectorWrapper* wrapper) {
  moduleOutlookInspector::instance().kill(key, wrapper);
}

}  // namespace parvex
