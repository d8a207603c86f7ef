// The system's one failure type and the three ways a procedure deals with failures.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "boundary.h"

namespace parvex {

// Numbers of the runtime failures that the system raises or relies on.
namespace err {
inline constexpr int32_t kInvalidCall = 5;               // "Invalid procedure call or argument"
inline constexpr int32_t kOverflow = 6;                  // "Overflow"
inline constexpr int32_t kOutOfMemory = 7;               // "Out of memory"
inline constexpr int32_t kSubscriptRange = 9;            // "Subscript out of range"
inline constexpr int32_t kDivisionByZero = 11;           // "Division by zero"
inline constexpr int32_t kTypeMismatch = 13;             // "Type mismatch"
inline constexpr int32_t kFileNotFound = 53;             // "File not found"
inline constexpr int32_t kInputPastEnd = 62;             // "Input past end of file"
inline constexpr int32_t kPermissionDenied = 70;         // "Permission denied"
inline constexpr int32_t kPathFileAccess = 75;           // "Path/File access error"
inline constexpr int32_t kPathNotFound = 76;             // "Path not found"
inline constexpr int32_t kObjectRequired = 424;          // "Object required"
inline constexpr int32_t kKeyInUse = 457;                // key already in a keyed collection
inline constexpr int32_t kCannotOpenClipboard = 521;     // "Can't open Clipboard"
inline constexpr int32_t kHostCallFailed = -2147467259;  // E_FAIL, a host call that failed
}  // namespace err

// A failure: number, source (who raised or re-raised it) and description.
class Failure : public std::runtime_error, public pvx::DescribedError {
 public:
  Failure(int32_t number, std::string source, std::string description)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)) {}

  int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept override { return source_; }
  const std::string& description() const noexcept override { return description_; }
  // A COM caller's view of the number: a runtime number n as 0x800A0000 + n, a negative
  // number (an HRESULT already) as it is.
  int32_t hresult() const noexcept override {
    return number_ < 0
               ? number_
               : static_cast<int32_t>(0x800A0000U | (static_cast<uint32_t>(number_) & 0xFFFFU));
  }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
};

// Raises a failure with the given number; the source defaults to the product.
[[noreturn]] inline void raise(int32_t number, std::string description,
                               std::string source = "Parvex") {
  throw Failure(number, std::move(source), std::move(description));
}

// Turns whatever was thrown into a Failure, so handlers see one type.
Failure current_failure();

// Style 1: attempt a step; a failing step is skipped and the caller goes on with the next.
template <class Step>
void attempt(Step&& step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

// Style 1 for a condition: when it cannot be evaluated, the guarded branch runs.
template <class Condition>
bool attempt_condition(Condition&& condition) noexcept {
  try {
    return condition();
  } catch (...) {
    return true;
  }
}

// Style 3: an error scope that re-raises any failure with its own source.
template <class Body>
auto rethrow_as(const std::string& source, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    Failure f = current_failure();
    throw Failure(f.number(), source, f.description());
  }
}

// Style 3: an error scope that hands any failure to a report routine instead of raising.
template <class Body, class Report>
void report_failure(Body&& body, Report&& report) {
  try {
    body();
  } catch (...) {
    report(current_failure());
  }
}

// The thread's last-error record, read by callers that look at it after a call returns.
struct LastError {
  int32_t number = 0;
  std::string source;
  std::string description;
  void clear() { *this = LastError{}; }
};
LastError& last_error();

}  // namespace parvex
