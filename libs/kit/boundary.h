// The one way an entry point of a C interface or a callback turns whatever was thrown into its
// result, so that no exception ever crosses the boundary:
//
//   int32_t PVX_CALL Export(...) noexcept {
//     return pvx::guard_result(ZE_MEM, ZE_LOGIC, [&] { ...; return ZE_OK; });
//   }
//
// COM methods and event sinks have theirs in com_boundary.h, built on the same translation.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

namespace pvx {

// The code an exception carries, if it carries one the boundary can pass on unchanged.
class ResultError : public std::exception {
 public:
  explicit ResultError(int32_t code) noexcept : code_(code) {}
  int32_t code() const noexcept { return code_; }
  const char* what() const noexcept override { return "result error"; }

 private:
  int32_t code_;
};

// A failure that knows its HRESULT and the text a COM caller is given with it.
class DescribedError {
 public:
  virtual int32_t hresult() const noexcept = 0;
  virtual const std::string& source() const noexcept = 0;
  virtual const std::string& description() const noexcept = 0;

 protected:
  ~DescribedError() = default;
};

// Called from a catch block: an out-of-memory failure gives out_of_memory, a ResultError its
// own code, anything else otherwise. Never throws.
template <class Result>
Result result_from_caught_exception(Result out_of_memory, Result otherwise) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return out_of_memory;
  } catch (const ResultError& e) {
    return static_cast<Result>(e.code());
  } catch (...) {
    return otherwise;
  }
}

// HRESULTs for COM methods, spelled out so that this header needs no <windows.h>.
inline constexpr int32_t kHrOutOfMemory = static_cast<int32_t>(0x8007000EU);  // E_OUTOFMEMORY
inline constexpr int32_t kHrFail = static_cast<int32_t>(0x80004005U);         // E_FAIL

// Called from a catch block in a COM method: E_OUTOFMEMORY, the HRESULT a DescribedError,
// a ResultError or a Win32 system_error carries, or E_FAIL.
inline int32_t hresult_from_caught_exception() noexcept {
  try {
    throw;
  } catch (const DescribedError& e) {
    return e.hresult();
  } catch (const std::system_error& e) {
    const int v = e.code().value();
    if (e.code().category() != std::system_category() || v == 0) return kHrFail;
    // HRESULT_FROM_WIN32 for a positive system error, the value itself when it is one already.
    return v < 0 ? v : static_cast<int32_t>((static_cast<uint32_t>(v) & 0xFFFFU) | 0x80070000U);
  } catch (...) {
    return result_from_caught_exception(kHrOutOfMemory, kHrFail);
  }
}

// The guard of a C export or callback: body's result, or the code of what it threw.
template <class Result, class Body>
Result guard_result(Result out_of_memory, Result otherwise, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return result_from_caught_exception(out_of_memory, otherwise);
  }
}

// The same for a callback that returns nothing: what body throws stops at the boundary.
template <class Body>
requires std::is_void_v<std::invoke_result_t<Body>>
void guard_result(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace pvx
