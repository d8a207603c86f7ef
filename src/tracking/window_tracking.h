// What the explorer side and the inspector side share: the wrapper of one host window and the
// keyed registry of wrappers with its 16-bit counter. Where the sides differ, a Side type says
// how; ExplorerSide and InspectorSide put those differences next to each other.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/failure.h"
#include "core/program_state.h"
#include "host/host.h"

namespace parvex {

// The host application shared by both trackers and their wrappers (one per host thread).
host::Ref<host::Application>& gobjOutlook();

struct ExplorerSide {
  using HostWindow = host::Explorer;
  static constexpr const char* kKillFailure = "Unexpected Error in KillExplorer";
  static constexpr const char* kClosedSuffix = " inchis";
  static constexpr const char* kOthersRemain =
      "Object ramas in mem si tine de asemenea Outlook pornit";
  // The closing main window is still counted while it closes.
  static bool no_main_window_left(int32_t explorer_count) { return explorer_count <= 1; }
};

struct InspectorSide {
  using HostWindow = host::Inspector;
  static constexpr const char* kKillFailure = "Unexpected Error in KillInspector";
  static constexpr const char* kClosedSuffix = " inchis.";
  static constexpr const char* kOthersRemain = "Obiect ramas in memorie";
  static bool no_main_window_left(int32_t explorer_count) { return explorer_count < 1; }
};

template <class Side>
class WindowRegistry;

// One registered host window: logs its closing and unregisters itself.
template <class Side>
class WindowWrapper : public std::enable_shared_from_this<WindowWrapper<Side>> {
 public:
  using HostWindow = typename Side::HostWindow;

  WindowWrapper() = default;
  WindowWrapper(const WindowWrapper&) = delete;
  WindowWrapper& operator=(const WindowWrapper&) = delete;
  ~WindowWrapper() { release_window(); }

  // Sets the wrapped window and subscribes its Activate and Close events.
  void set_window(host::Ref<HostWindow> window);
  const host::Ref<HostWindow>& window() const { return window_; }
  void set_key(int16_t key) { key_ = key; }

  void on_activate() {}  // received and ignored
  void on_close();

 private:
  void release_window() {
    activate_.reset();
    close_.reset();
    inline_response_.reset();
    inline_send_.reset();
    window_.reset();
  }
  // A main window's reply in the reading pane: its Send is heard as an inspector's item's is.
  void on_inline_response(host::Ref<host::Item> item);

  host::Ref<HostWindow> window_;
  host::SubscriptionPtr activate_;
  host::SubscriptionPtr close_;
  host::SubscriptionPtr inline_response_;  // main windows only
  host::SubscriptionPtr inline_send_;      // holds the reply being written there
  int16_t key_ = 0;
};

// The registry module of one side: wrappers under the decimal text of their key number.
template <class Side>
class WindowRegistry {
 public:
  using Wrapper = WindowWrapper<Side>;

  static WindowRegistry& instance() { return program_state<WindowRegistry>(); }

  // Registers a new wrapper for the window (possibly empty). No local handling.
  void add(host::Ref<typename Side::HostWindow> window);
  // Unregisters the wrapper under key if it is that very wrapper. No local handling.
  void kill(int16_t key, const Wrapper* wrapper);

  const std::map<std::string, std::shared_ptr<Wrapper>>& wrappers() const { return wrappers_; }

 private:
  std::map<std::string, std::shared_ptr<Wrapper>> wrappers_;
  int16_t next_id_ = 0;
};

using clsExplorerWrapper = WindowWrapper<ExplorerSide>;
using clsInspectorWrapper = WindowWrapper<InspectorSide>;
using moduleOutlookExplorer = WindowRegistry<ExplorerSide>;
using moduleOutlookInspector = WindowRegistry<InspectorSide>;

// The registry procedures under their own names.
void AddExplorer(host::Ref<host::Explorer> explorer);
void KillExplorer(int16_t key, const clsExplorerWrapper* wrapper);
void AddInspector(host::Ref<host::Inspector> inspector);
void KillInspector(int16_t key, const clsInspectorWrapper* wrapper);

extern template class WindowWrapper<ExplorerSide>;
extern template class WindowWrapper<InspectorSide>;
extern template class WindowRegistry<ExplorerSide>;
extern template class WindowRegistry<InspectorSide>;

}  // namespace parvex
