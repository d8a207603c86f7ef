// One program-wide instance per window class, created hidden on first touch:
//   ui::touch<frm_outlook>().list_log.AddItem(...);
// W::load() runs once after construction (the window's load handler); close<W>() is the close
// box (asks Form_QueryUnload first), unload<W>() destroys the window outright.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/program_state.h"
#include "ui/controls.h"

namespace parvex::ui {

// Why a window is being closed, as Form_QueryUnload receives it.
inline constexpr int16_t kCloseBox = 0;     // close box or system menu
inline constexpr int16_t kCloseByCode = 1;  // the add-in closed it

class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  virtual ~Window() = default;

  std::string caption;
  bool visible = false;
  int32_t client_width = 0, client_height = 0;  // twips
  // Every window here has a fixed dialog frame with a close box and no minimize or maximize box.
  bool in_taskbar = false;
  std::string icon = "parvex.ico";  // file name under resources/
  // The native window handle while a view draws the window; 0 when nothing does.
  std::uintptr_t handle = 0;
  // A native window of the host's that owns this one when a view creates it; 0: the add-in's own.
  std::uintptr_t owner = 0;
  // How many times Show ran: a view sees a Show of a window already shown by this.
  uint32_t show_requests = 0;
  // A click on the window's background.
  std::function<void()> on_click;

  // Shows the window; a view also brings one that is already shown to the front.
  void Show() {
    visible = true;
    ++show_requests;
  }
  void Hide() { visible = false; }
  void click() {
    const auto handler = on_click;  // a copy: the handler may destroy this window
    if (handler) handler();
  }

  virtual void load() {}
  virtual void unload_handler() {}
  // A close request; setting cancel to nonzero keeps the window.
  virtual void Form_QueryUnload(int16_t& cancel, int16_t unload_mode) {
    (void)cancel;
    (void)unload_mode;
  }

  struct Entry {
    std::string name;
    Control* control;
  };
  // The controls in the order of the layout, for views.
  const std::vector<Entry>& controls() const { return controls_; }

 protected:
  // Registers a control in layout order and sets its rectangle (twips) and tab index.
  template <class C>
  C& place(C& control, std::string name, int32_t left, int32_t top, int32_t width, int32_t height,
           std::optional<int32_t> tab_index) {
    control.left = left;
    control.top = top;
    control.width = width;
    control.height = height;
    control.tab_index = tab_index;
    controls_.push_back(Entry{std::move(name), &control});
    return control;
  }

 private:
  std::vector<Entry> controls_;
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

// Destroys the window; the next touch creates a new one. Safe from the window's own handlers,
// which must not touch their members afterwards.
template <class W>
void unload() {
  auto& slot = program_state<WindowInstance<W>>();
  if (!slot.window) return;
  // Destroyed even when the unload handler fails, or a failing handler would keep the window
  // from ever closing; the failure still reaches the caller.
  std::unique_ptr<W> doomed;
  try {
    slot.window->unload_handler();
  } catch (...) {
    doomed = std::move(program_state<WindowInstance<W>>().window);
    throw;
  }
  doomed = std::move(program_state<WindowInstance<W>>().window);
}

// A close request (the close box by default): destroys the window unless Form_QueryUnload
// cancels it.
template <class W>
void close(int16_t unload_mode = kCloseBox) {
  if (!exists<W>()) return;
  int16_t cancel = 0;
  touch<W>().Form_QueryUnload(cancel, unload_mode);
  if (cancel == 0) unload<W>();
}

}  // namespace parvex::ui
