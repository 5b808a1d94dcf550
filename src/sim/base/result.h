// Engine results: a value or an error carrying its category.
//
// The engine never throws for validation. Every fallible operation returns a
// Result<T> (or a Status when there is no value). The category tells the
// Python layer which exception to raise; the message is the exact text the
// user sees.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vantrel::sim {

enum class ErrorKind : std::uint8_t {
  // Invalid input rejected by validation: raised as ValueError.
  kInvalid,
  // A broken internal invariant (a register of 64 qubits, invalid sampling
  // weights): raised as an exception deriving directly from BaseException.
  kInternal,
  // An allocation that could not be satisfied: raised as MemoryError.
  kOutOfMemory,
  // The call was stopped through its Interrupt (sim/interrupt.h); the caller
  // that asked for the stop knows why (the binding raises the exception its
  // signal handler left pending).
  kInterrupted,
};

struct Error {
  ErrorKind kind = ErrorKind::kInvalid;
  std::string message;
};

inline Error invalid(std::string message) { return {ErrorKind::kInvalid, std::move(message)}; }
inline Error internal(std::string message) { return {ErrorKind::kInternal, std::move(message)}; }
inline Error out_of_memory(std::string message = "out of memory") {
  return {ErrorKind::kOutOfMemory, std::move(message)};
}
inline Error interrupted() { return {ErrorKind::kInterrupted, "interrupted"}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Result of an operation without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : failed_(true), error_(std::move(error)) {}  // NOLINT: implicit by design

  static Status Ok() { return {}; }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  bool failed_ = false;
  Error error_;
};

// Decimal rendering for messages ("{}" placeholders are plain decimals).
inline std::string dec(std::uint64_t v) { return std::to_string(v); }

// A byte count for messages, in binary units: "512 bytes", "1 KiB",
// "128 GiB", "1.5 MiB" (one decimal, rounded half up, when not whole), up to
// YiB (counts beyond 2^64 occur for sizes that could never be allocated).
inline std::string byte_size(unsigned __int128 bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB"};
  if (bytes < 1024) return std::to_string(static_cast<std::uint64_t>(bytes)) + " bytes";
  int unit = 0;
  unsigned __int128 scale = 1024;
  // Tenths of the unit, rounded half up (a count that rounds to 1024 of a
  // unit is shown in the next one); the whole part stays below 2^64 for
  // every count below 2^120.
  auto tenths_of = [&] { return (bytes * 10 + scale / 2) / scale; };
  while (unit + 1 < 8 && tenths_of() >= 10240) {
    scale *= 1024;
    ++unit;
  }
  const unsigned __int128 tenths = tenths_of();
  std::string text = std::to_string(static_cast<std::uint64_t>(tenths / 10));
  if (tenths % 10 != 0) {
    text += '.';
    text += static_cast<char>('0' + static_cast<int>(tenths % 10));
  }
  text += ' ';
  text += kUnits[unit];
  return text;
}

// The kOutOfMemory error "cannot allocate <what> (<size>)".
inline Error allocation_failure(const std::string& what, unsigned __int128 bytes) {
  return out_of_memory("cannot allocate " + what + " (" + byte_size(bytes) + ")");
}

}  // namespace vantrel::sim

// Early return of an error from a Status/Result expression.
#define VANTREL_TRY(expr)                              \
  do {                                                 \
    auto&& vantrel_try_status_ = (expr);               \
    if (!vantrel_try_status_.ok())                     \
      return std::move(vantrel_try_status_).error();   \
  } while (0)
