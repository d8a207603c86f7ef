// The one way a C or COM entry point turns whatever was thrown into its result code, so that
// no exception ever crosses the boundary. Use inside a catch block only:
//
//   int32_t PVX_CALL Export(...) {
//     try { ... } PVX_CATCH_RETURN(ZE_MEM, ZE_LOGIC)
//   }
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <system_error>

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

// Called from a catch block in a COM method: E_OUTOFMEMORY, the HRESULT a ResultError or a
// Win32 system_error carries, or E_FAIL.
inline int32_t hresult_from_caught_exception() noexcept {
  try {
    throw;
  } catch (const std::system_error& e) {
    const int v = e.code().value();
    if (e.code().category() != std::system_category() || v == 0) return kHrFail;
    // HRESULT_FROM_WIN32 for a positive system error, the value itself when it is one already.
    return v < 0 ? v : static_cast<int32_t>((static_cast<uint32_t>(v) & 0xFFFFU) | 0x80070000U);
  } catch (...) {
    return result_from_caught_exception(kHrOutOfMemory, kHrFail);
  }
}

// Runs body and returns its result, or the code of what it threw.
template <class Result, class Body>
Result call_returning(Result out_of_memory, Result otherwise, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return result_from_caught_exception(out_of_memory, otherwise);
  }
}

}  // namespace pvx

// Ends a try block of a C export: returns the result code of whatever was thrown.
#define PVX_CATCH_RETURN(out_of_memory, otherwise)                        \
  catch (...) {                                                           \
    return ::pvx::result_from_caught_exception(out_of_memory, otherwise); \
  }
