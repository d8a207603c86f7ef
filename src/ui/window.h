// One program-wide instance per window class, created hidden on first touch:
//   ui::touch<FrmOutlook>().list_log.AddItem(...);
// W::load() runs once after construction (the window's load handler); unload<W>() destroys it.
#pragma once

#include <memory>
#include <string>

#include "core/program_state.h"

namespace parvex::ui {

class Window {
 public:
  virtual ~Window() = default;
  std::string caption;
  bool visible = false;
  void Show() { visible = true; }
  void Hide() { visible = false; }
  virtual void load() {}
  virtual void unload_handler() {}
};

template <class W>
struct WindowInstance {
  std::unique_ptr<W> window;
};

template <class W>
bool exists() {
  auto& state = ProgramState::current();
  return state.has<WindowInstance<W>>() && state.get<WindowInstance<W>>().window != nullptr;
}

template <class W>
W& touch() {
  auto& slot = program_state<WindowInstance<W>>();
  if (!slot.window) {
    auto created = std::make_unique<W>();
    W& ref = *created;
    slot.window = std::move(created);
    try {
      ref.load();
    } catch (...) {
      // A window whose load failed does not exist.
      program_state<WindowInstance<W>>().window.reset();
      throw;
    }
  }
  return *slot.window;
}

// Destroys the window (its close box); the next touch creates a new one.
template <class W>
void unload() {
  auto& slot = program_state<WindowInstance<W>>();
  if (!slot.window) return;
  slot.window->unload_handler();
  std::unique_ptr<W> doomed = std::move(slot.window);
}

}  // namespace parvex::ui
