// Errors as values: every worker returns Result<T>, holding a T or a ManifestError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <fmt/core.h>

namespace tamrel {

// The operating system's description of an errno value ("No such file or directory").
std::string os_error_text(int err);

// What kind of operating-system failure an Io error was; the probe adds two kinds of its own.
enum class IoKind : std::uint8_t {
  Other,
  NotFound,
  PermissionDenied,
  Interrupted,
  BrokenPipe,
  UnexpectedEof,
  InvalidData,
};

// The one error value of all workers. Python sees OSError for Io and ValueError for the rest.
struct ManifestError {
  enum class Variant : std::uint8_t { Io, Json, Invalid, Context };

  Variant variant = Variant::Invalid;
  IoKind io_kind = IoKind::Other;  // Io only
  int os_errno = 0;                // Io only, 0 when not from errno
  std::string code;                // Context only
  std::string message;             // every variant: the text
  std::uint64_t line = 0;          // Json only; 0 means "no position"
  std::uint64_t column = 0;        // Json only

  static ManifestError io(IoKind kind, std::string message, int os_errno = 0) {
    ManifestError e;
    e.variant = Variant::Io;
    e.io_kind = kind;
    e.os_errno = os_errno;
    e.message = std::move(message);
    return e;
  }
  // An Io error from errno, with the system's own description as its text.
  static ManifestError from_errno(int err);

  static ManifestError json(std::string message, std::uint64_t line, std::uint64_t column) {
    ManifestError e;
    e.variant = Variant::Json;
    e.message = std::move(message);
    e.line = line;
    e.column = column;
    return e;
  }
  static ManifestError invalid(std::string text) {
    ManifestError e;
    e.variant = Variant::Invalid;
    e.message = std::move(text);
    return e;
  }
  static ManifestError context(std::string code, std::string message) {
    ManifestError e;
    e.variant = Variant::Context;
    e.code = std::move(code);
    e.message = std::move(message);
    return e;
  }

  // The exception text: "{} at line {} column {}" for a positioned Json error,
  // "{code}: {message}" for Context, the message alone otherwise.
  [[nodiscard]] std::string text() const;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(ManifestError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  [[nodiscard]] bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  ManifestError& error() & { return std::get<1>(v_); }
  const ManifestError& error() const& { return std::get<1>(v_); }
  ManifestError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, ManifestError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ManifestError error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  [[nodiscard]] bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  ManifestError& error() & { return error_; }
  const ManifestError& error() const& { return error_; }
  ManifestError&& error() && { return std::move(error_); }

 private:
  ManifestError error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tamrel

// An error formats as its text(), straight into the buffer of the text that quotes it.
template <>
struct fmt::formatter<tamrel::ManifestError> {
  constexpr format_parse_context::iterator parse(format_parse_context& ctx) { return ctx.begin(); }
  format_context::iterator format(const tamrel::ManifestError& error, format_context& ctx) const;
};

#define TAMREL_CONCAT_INNER(a, b) a##b
#define TAMREL_CONCAT(a, b) TAMREL_CONCAT_INNER(a, b)

// TAMREL_TRY(auto x, expr): evaluate expr; return its error, or bind its value to x.
#define TAMREL_TRY(decl, expr) TAMREL_TRY_IMPL(TAMREL_CONCAT(tamrel_try_, __LINE__), decl, expr)
#define TAMREL_TRY_IMPL(tmp, decl, expr)        \
  auto tmp = (expr);                            \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()

// TAMREL_CHECK(expr): evaluate a Status-like expr and return its error.
#define TAMREL_CHECK(expr)                                            \
  do {                                                                \
    auto tamrel_check_ = (expr);                                      \
    if (!tamrel_check_.ok()) return std::move(tamrel_check_).error(); \
  } while (0)
