// One owner per handle kind, declared in one line:
//   using unique_hkey = pvx::unique_any<HKEY, &close_key>;
// The owner closes its handle once, on destruction or reset; copying is refused, moving hands
// the handle over. Handles are pointer-sized; Invalid is the "no handle" value as an integer
// (0 for most kinds, -1 for the kinds that use INVALID_HANDLE_VALUE).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>
#include <utility>

#ifdef _WIN32
// Declared as <windows.h> does, which this header does without.
extern "C" __declspec(dllimport) unsigned long __stdcall GetLastError();
extern "C" __declspec(dllimport) void __stdcall SetLastError(unsigned long);
#endif

namespace pvx {

// Keeps errno (and on Windows the thread's last error) as they were across a release, so that
// an owner leaving scope after a failed call does not overwrite why it failed.
class last_error_kept {
 public:
  last_error_kept() noexcept = default;
  last_error_kept(const last_error_kept&) = delete;
  last_error_kept& operator=(const last_error_kept&) = delete;
  ~last_error_kept() {
    errno = errno_;
#ifdef _WIN32
    SetLastError(win_);
#endif
  }

 private:
  int errno_ = errno;
#ifdef _WIN32
  unsigned long win_ = GetLastError();
#endif
};

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
    if (old != invalid()) {
      const last_error_kept kept;
      Close(old);
    }
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

// Runs a step when the scope is left, however it is left, unless dismissed.
template <class Step>
class scope_exit {
 public:
  explicit scope_exit(Step step) noexcept(std::is_nothrow_move_constructible_v<Step>)
      : step_(std::move(step)) {}
  scope_exit(const scope_exit&) = delete;
  scope_exit& operator=(const scope_exit&) = delete;
  ~scope_exit() {
    if (armed_) step_();
  }
  void dismiss() noexcept { armed_ = false; }

 private:
  Step step_;
  bool armed_ = true;
};

namespace detail {
inline void close_stream(std::FILE* f) noexcept {
  std::fclose(f);
}
}  // namespace detail

using unique_file = unique_any<std::FILE*, &detail::close_stream>;  // fopen

}  // namespace pvx
