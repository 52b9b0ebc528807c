// The module's one error type and the Result<T> that every core operation returns.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tiltgram {

// What an error is about, as far as a caller acts on it. The kind is fixed where the error
// arises; the module surface chooses the Python class from it (errors/raise_py.hpp), never
// from the text.
enum class ErrorKind : std::uint8_t {
  // The operating system refused an open, read, seek, write or close, or a file ended
  // before a buffer was filled.
  Io,
  // The recording: not in the format, damaged, or without what the call asks of it (data
  // blocks, samples in the selected range, a reading that a column needs).
  Format,
  // A value the caller gave that the call does not accept: a cut's bounds, the resampling
  // options, the time range a cut selects, an output path.
  Argument,
  // A time that does not fit a signed 64-bit count of microseconds.
  Overflow,
  // A result that needs more memory than the system will give.
  Memory,
};

// An error of the reader: its kind and its text, as the user will read it.
//   Io:     "IO error: {description}", where the description of an errno is
//           "{strerror} (os error {errno})" and an early end of file reads "failed to fill
//           whole buffer"; or the description alone, as the CSV writer reports a failure of
//           its output (without_io_prefix).
//   others: a fixed text, shown unchanged (errors/messages.hpp).
class [[nodiscard]] CwaError {
 public:
  static CwaError format(std::string text) { return CwaError(ErrorKind::Format, 0, std::move(text)); }
  static CwaError argument(std::string text) {
    return CwaError(ErrorKind::Argument, 0, std::move(text));
  }
  static CwaError overflow(std::string text) {
    return CwaError(ErrorKind::Overflow, 0, std::move(text));
  }
  static CwaError memory(std::string text) { return CwaError(ErrorKind::Memory, 0, std::move(text)); }
  // From an errno value; the text is built when asked.
  static CwaError io(int errnum) { return CwaError(ErrorKind::Io, errnum, {}); }
  // An early end of file while filling a buffer.
  static CwaError io_eof() { return io_description("failed to fill whole buffer"); }
  // An I/O error that has no errno, described in words.
  static CwaError io_description(std::string description) {
    return CwaError(ErrorKind::Io, 0, std::move(description));
  }
  // The same error, its text without the "IO error: " prefix: the CSV writer's own words
  // for a failure of its output.
  CwaError without_io_prefix() && {
    prefixed_ = false;
    return std::move(*this);
  }

  ErrorKind kind() const noexcept { return kind_; }
  int os_error() const noexcept { return errno_; }
  // The text the user reads (see the class comment).
  std::string text() const;
  // For Io the description without the "IO error: " prefix; the text otherwise.
  std::string description() const;

 private:
  CwaError(ErrorKind kind, int errnum, std::string text)
      : kind_(kind), prefixed_(kind == ErrorKind::Io), errno_(errnum), text_(std::move(text)) {}
  ErrorKind kind_;
  bool prefixed_;
  int errno_;
  std::string text_;
};

// A value or a CwaError, shaped like Arrow's Result: ok(), value(), error().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(CwaError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  const CwaError& error() const& { return *std::get_if<1>(&v_); }
  CwaError&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, CwaError> v_;
};

// Success or a CwaError.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CwaError error) : error_(std::move(error)) {}  // NOLINT
  bool ok() const noexcept { return !error_.has_value(); }
  const CwaError& error() const& { return *error_; }
  CwaError&& error() && { return std::move(*error_); }

 private:
  std::optional<CwaError> error_;
};

using Status = Result<void>;

// A state the reader treats as impossible. It is thrown, never returned, and the module
// surface turns it into an exception that ordinary `except Exception` does not swallow.
class InternalFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_failure(const char* what) { throw InternalFailure(what); }

// An allocation that cannot be made, with a text that says what did not fit: "cannot
// allocate 3.9 GB (120,960,000 rows of 32 bytes) for 1,008,000 blocks of samples: 3.5 GB
// available". Thrown, never returned; the module surface raises it as MemoryError with
// that text.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
  const char* what() const noexcept override { return text_->c_str(); }

 private:
  std::shared_ptr<const std::string> text_;  // copying an exception must not throw
};

}  // namespace tiltgram

// Propagates the error of a Result or Status expression to the caller.
#define TG_TRY(expr)                                            \
  do {                                                          \
    if (auto tg_r_ = (expr); !tg_r_.ok()) return std::move(tg_r_).error(); \
  } while (0)

#define TG_CONCAT_INNER_(a, b) a##b
#define TG_CONCAT_(a, b) TG_CONCAT_INNER_(a, b)
#define TG_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()

// `TG_ASSIGN_OR_RETURN(auto x, f());` binds the value or returns the error.
#define TG_ASSIGN_OR_RETURN(lhs, expr) \
  TG_ASSIGN_OR_RETURN_IMPL_(TG_CONCAT_(tg_result_, __LINE__), lhs, expr)
