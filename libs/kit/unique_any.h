// One owner per handle kind, declared in one line:
//   using unique_hkey = pvx::unique_any<HKEY, &close_key>;
// The owner closes its handle once, on destruction or reset; copying is refused, moving hands
// the handle over. Handles are pointer-sized; Invalid is the "no handle" value as an integer
// (0 for most kinds, -1 for the kinds that use INVALID_HANDLE_VALUE).
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace pvx {

template <class Handle, auto Close, intptr_t Invalid = 0>
class unique_any {
 public:
  using pointer = Handle;

  static Handle invalid() noexcept {
    if constexpr (std::is_pointer_v<Handle>) {
      return reinterpret_cast<Handle>(Invalid);
    } else {
      return static_cast<Handle>(Invalid);
    }
  }

  unique_any() noexcept = default;
  explicit unique_any(Handle h) noexcept : h_(h) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : h_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  Handle get() const noexcept { return h_; }
  template <class H = Handle>
  requires std::is_class_v<std::remove_pointer_t<H>> H operator->() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != invalid(); }

  // Closes the handle held, if any, and takes h.
  void reset(Handle h = invalid()) noexcept {
    const Handle old = std::exchange(h_, h);
    if (old != invalid()) Close(old);
  }
  // Gives the handle up without closing it.
  [[nodiscard]] Handle release() noexcept { return std::exchange(h_, invalid()); }
  // Closes the handle held and returns where an out-parameter call may store a new one.
  Handle* put() noexcept {
    reset();
    return &h_;
  }

 private:
  Handle h_ = invalid();
};

}  // namespace pvx
